#include "device/detect.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <set>

#include "platform/fs.h"
#include "platform/text.h"

namespace cadenza {

std::string DecodeMountField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
        octal(field[i + 3])) {
      int v = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      if (v <= 0xFF) {
        out += static_cast<char>(static_cast<unsigned char>(v));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

bool IsiPodDisk(std::string_view vendor, std::string_view model) {
  return AsciiLower(vendor).find("apple") != std::string::npos &&
         AsciiLower(model).find("ipod") != std::string::npos;
}

std::string DriveRoot(std::string folder) {
#ifdef _WIN32
  // "I:", "I:/" and "I:\" all give "I:\".
  if (!folder.empty() && folder.back() == '/') folder.back() = '\\';
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
#else
  if (!folder.empty() && folder.back() != '/') folder += '/';
#endif
  return folder;
}

DriveSearch SearchiPodDrive(const DetectOptions& options, const std::string& sApplicationName) {
  bool device_seen = false;
  std::vector<std::string> mounts = FindiPodMounts(options, &device_seen);
  // The last mount found wins.
  const std::string drive = mounts.empty() ? std::string() : DriveRoot(mounts.back());
  return ConcludeDriveSearch(
      drive, device_seen,
      !drive.empty() && fs::FolderExists(fs::DevicePath(drive, "iPod_Control\\iTunes")),
      sApplicationName);
}

DriveSearch ConcludeDriveSearch(const std::string& drive, bool device_seen, bool has_itunes,
                                const std::string& sApplicationName) {
  DriveSearch found;
  found.drive = drive;
  if (!drive.empty()) {
    if (!has_itunes)
      found.question = DriveQuestion{"iPod drive was detected as " + drive +
                                         ", but this drive does not contain iTunes Folder.\r"
                                         "Is the detection correct?",
                                     false, "Please, Select the iPod Drive"};
  } else if (device_seen) {
    found.question =
        DriveQuestion{sApplicationName +
                          " can't find your iPod drive. Do you want to locate it?\r\n"
                          "Note:- 'Enable Disk Use' option in the iTunes may be unchecked.",
                      true, "Please, select the iPod Drive"};
  } else {
    found.question =
        DriveQuestion{sApplicationName +
                          " can't find your iPod device. Do you want to locate it?\r\n"
                          "Note:- 'Enable Disk Use' option in the iTunes may be unchecked or the "
                          "iPod is not connected",
                      true, "Please, select the iPod Drive"};
  }
  return found;
}

std::string DriveConfirmation(const std::string& drive) {
  return "iPod Drive is detect as " + drive +
         ", If this is incorrect, so please Manually specify the iPod Drive";
}

}  // namespace cadenza
