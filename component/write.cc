// WriteiPodDB and Write_FileSize: the records back to the device file.
#include <functional>
#include <string_view>

#include "cadenza/cadenza.h"
#include "component/device_lock.h"
#include "component/paths.h"
#include "db/codec.h"
#include "db/writer.h"
#include "device/device_info.h"
#include "platform/fs.h"

namespace cadenza {

namespace {

size_t ImageHash(std::string_view image) { return std::hash<std::string_view>{}(image); }

}  // namespace

Variant clsCadenza::WriteiPodDB() {
  if (!m_bDBLoaded) {
    // Writing records that were never loaded would replace the device's
    // database with an almost empty file.
    m_status = Status::Invalid("No iPod database is loaded; nothing was written");
    Ask("No iPod database is loaded, so nothing was written." + std::string(kCrLf) +
            "Load the iPod database before writing it.",
        "", kMsgOK | kMsgCritical);
    return {};
  }
  WriteRecords(true);
  return {};
}

Status clsCadenza::WriteRecords(bool must_be_unchanged) {
  if (Status st = CheckWritable(); !st.ok()) return st;
  auto report = [&](const Status& st) {
    m_status = st;
    Ask("Error occured while writting iPod DB." + std::string(kCrLf) + "Err Number:" +
            std::to_string(st.number()) + "," + st.message(),
        "", kMsgOK | kMsgCritical);
    return st;
  };
  DeviceLockScope lock(*this);
  if (Status st = lock.Enter(); !st.ok()) return report(st);
  // A write replaces the file that was loaded; when it has gone, so has
  // the device (or another program removed it).
  if (must_be_unchanged && !fs::FileExists(DevicePath(kDatabaseFile)))
    return report(Status::NotFound("File not found", 53));

  std::string image;
  WriteStage stage;
  Status st = BuildDatabaseImage(*this, &image, &stage);
  if (!st.ok()) {
    m_status = st;
    if (stage == WriteStage::kTrackList || stage == WriteStage::kPlaylists) {
      Ask(std::string("Error Occured while writing Database[") +
              (stage == WriteStage::kTrackList ? "MHSD_T" : "MHSD_P") + "]." + kCrLf +
              std::to_string(st.number()) + ":" + st.message(),
          "", kMsgOK);
      return st;
    }
    return report(st);
  }
  if (st = StoreDatabase(std::move(image), must_be_unchanged); !st.ok()) return report(st);
  m_status = Status::OK();
  return m_status;
}

bool clsCadenza::IsLoadedFile(const std::string& path) const {
  // Another program may have written the database since this object loaded
  // it; writing over it would lose that program's changes. Every writer
  // replaces the file, so a file with the size, time and number it had is
  // the one loaded. Otherwise the contents decide: a program that wrote the
  // same bytes again changed nothing.
  fs::FileStamp now;
  if (!fs::StatFile(path, &now).ok() || now.size != m_loadedFile.size) return false;
  if (now.mtime_ns == m_loadedFile.mtime_ns && now.inode == m_loadedFile.inode) return true;
  std::string current;
  return fs::ReadWholeFile(path, &current).ok() && ImageHash(current) == m_loadedFile.hash;
}

Status clsCadenza::StoreDatabase(std::string image, bool must_be_unchanged) {
  // Devices that check a signature get the complete file signed; the
  // signature is verified before anything reaches the device.
  Status st = SignForDevice(
      ReadDeviceInfo(m_siPodDrive, {m_options.sysfs_root, m_options.mountinfo_path}), &image);
  if (!st.ok()) return st;
  const std::string path = DevicePath(kDatabaseFile);
  if (must_be_unchanged && !IsLoadedFile(path))
    return Status::Busy(
        "the iPod database was changed by another program after it was loaded, so it was not "
        "written; load it again and repeat the changes");
  if (!fs::FolderExists(DevicePath(kITunesFolder))) {
    if (st = fs::CreateFolders(DevicePath(kITunesFolder)); !st.ok()) return st;
  }
  // What writes killed before this one left behind (safe: this object holds
  // the lock, so no other write is under way).
  fs::RemoveLeftoverTemps(path);
  // The media files the new database lists reach the disk before it does.
  if (m_bCopiedSinceWrite) {
    if (st = fs::FlushFileSystem(m_siPodDrive); !st.ok()) return st;
  }
  if (st = fs::WriteFileAtomic(path, image); !st.ok()) return st;
  m_bCopiedSinceWrite = false;
  fs::FileStamp stamp;
  fs::StatFile(path, &stamp);
  m_loadedFile = {stamp.size, stamp.mtime_ns, stamp.inode, ImageHash(image)};
  return Status::OK();
}

Status clsCadenza::CheckWritable() {
  DeviceInfo info = ReadDeviceInfo(m_siPodDrive, {m_options.sysfs_root, m_options.mountinfo_path});
  if (!info.refusal.ok()) {
    m_status = info.refusal;
    m_bRefusalShown = true;
    Ask("The iPod database was not written, and nothing was changed." + std::string(kCrLf) +
            info.refusal.message(),
        "", kMsgOK | kMsgCritical);
  }
  return info.refusal;
}

bool clsCadenza::Write_FileSize(const std::string& sFilePath) {
  int64_t len = fs::FileSize(sFilePath);
  m_status = len < 0 ? Status::NotFound("File not found: " + sFilePath)
                     : fs::WriteAt(sFilePath, 8, PackLong(static_cast<int32_t>(len)));
  return false;
}

}  // namespace cadenza
