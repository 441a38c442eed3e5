// Where an imported file goes on the device, and the folder listing.
#include "component/placement.h"

#include <unordered_set>
#include <vector>

#include "cadenza/cadenza.h"
#include "component/paths.h"
#include "platform/fs.h"

namespace cadenza {

std::string ListFolder(std::string sPath, bool bTopOnly, bool bIncludeFolders,
                       bool bNamesOnly) {
  if (sPath.empty()) return {};
  if (sPath.back() != '/') sPath += '/';
  std::string out;
  std::vector<std::string> folders;
  for (const fs::DirEntry& e : fs::ListDir(sPath)) {
    std::string text = bNamesOnly ? e.name : sPath + e.name;
    if (e.is_dir) {
      if (bIncludeFolders) out += "*" + text;
      folders.push_back(e.name);
    } else {
      out += "*" + text;
    }
  }
  if (bTopOnly) return out;
  for (const std::string& f : folders) out += ListFolder(sPath + f + "/", false, false, false);
  return out;
}

std::string clsCadenza::ChooseDevicePath(const std::string& sExtension) {
  m_random.SeedFromClock();
  auto letters = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += GetRandomLetter();
    return s;
  };
  const std::string music = std::string("\\") + kMusicFolder + "\\";
  std::string listing = ListFolder(DevicePath(kMusicFolder), true, true, true);
  if (listing.empty()) {
    for (const char* f : {kControlFolder, kMusicFolder}) {
      if (!fs::FolderExists(DevicePath(f))) {
        if (Status st = fs::CreateFolder(DevicePath(f)); !st.ok()) {
          m_status = st;
          return {};
        }
      }
    }
    if (Status st = fs::CreateFolder(DevicePath(std::string(kMusicFolder) + "\\A00")); !st.ok()) {
      m_status = st;
      return {};
    }
    return music + "A00\\" + letters(5) + "." + sExtension;
  }
  std::unordered_set<std::string> taken;
  for (size_t i = 1, j; i <= listing.size(); i = j + 1) {
    j = listing.find('*', i);
    if (j == std::string::npos) j = listing.size();
    taken.insert(listing.substr(i, j - i));
  }
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    for (int num = 0; num < 100; ++num) {
      char name[4] = {letter, static_cast<char>('0' + num / 10), static_cast<char>('0' + num % 10), 0};
      if (taken.count(name)) continue;
      if (Status st = fs::CreateFolder(DevicePath(std::string(kMusicFolder) + "\\" + name));
          !st.ok()) {
        m_status = st;
        return {};
      }
      return music + name + "\\" + letters(4) + "." + sExtension;
    }
  }
  // Every folder name is taken: a random place that holds no file yet.
  for (;;) {
    long num = std::lround(m_random.Next() * 99);
    std::string folder = GetRandomLetter() + (num < 10 ? "0" : "") + std::to_string(num);
    std::string path = music + folder + "\\" + letters(5) + "." + sExtension;
    if (!fs::FileExists(DevicePath(path))) return path;
  }
}

}  // namespace cadenza
