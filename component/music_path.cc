// Where an imported file goes on the device.
#include <cmath>
#include <string_view>
#include <unordered_set>
#include <vector>
#include <algorithm>

#include "component/paths.h"
#include "component/placement.h"
#include "platform/fs.h"

namespace cadenza {

namespace {

// Random tries at a free place once every folder name is taken.
constexpr int kMaxTries = 10000;

char RandomLetter(Random& random) { return static_cast<char>(std::floor(random.Next() * 26 + 65)); }

std::string RandomLetters(Random& random, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += RandomLetter(random);
  return s;
}

// `music`FOLDER\NAME.EXTENSION
std::string FileIn(const std::string& music, std::string_view folder, const std::string& name,
                   const std::string& extension) {
  std::string out = music;
  out.append(folder).append("\\").append(name).append(".").append(extension);
  return out;
}

}  // namespace

Status ChooseDevicePath(const std::string& root, const std::string& extension, Random& random,
                        std::string* rel) {
  random.SeedFromClock();
  auto path = [&](const std::string& r) { return fs::DevicePath(root, r); };
  const std::string music = std::string("\\") + kMusicFolder + "\\";
  std::string listing = ListFolder(path(kMusicFolder), true, true, true);
  if (listing.empty()) {
    for (const char* f : {kControlFolder, kMusicFolder}) {
      if (fs::FolderExists(path(f))) continue;
      if (Status st = fs::CreateFolder(path(f)); !st.ok()) return st;
    }
    if (Status st = fs::CreateFolder(path(std::string(kMusicFolder) + "\\A00")); !st.ok()) return st;
    *rel = FileIn(music, "A00", RandomLetters(random, 5), extension);
    return Status::OK();
  }
  std::unordered_set<std::string> taken;
  for (size_t i = 1, j; i <= listing.size(); i = j + 1) {
    j = listing.find('*', i);
    if (j == std::string::npos) j = listing.size();
    taken.insert(listing.substr(i, j - i));
  }
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    for (int num = 0; num < 100; ++num) {
      const char name[4] = {letter, static_cast<char>('0' + num / 10),
                            static_cast<char>('0' + num % 10), 0};
      if (taken.count(name)) continue;
      if (Status st = fs::CreateFolder(path(std::string(kMusicFolder) + "\\" + name)); !st.ok())
        return st;
      *rel = FileIn(music, name, RandomLetters(random, 4), extension);
      return Status::OK();
    }
  }
  // Every folder name is taken: a random place in one of the folders that
  // holds no file of that name yet.
  std::vector<std::string> folders;
  for (const std::string& name : taken)
    if (fs::FolderExists(path(std::string(kMusicFolder) + "\\" + name))) folders.push_back(name);
  for (int i = 0; i < kMaxTries && !folders.empty(); ++i) {
    const size_t pick = std::min(folders.size() - 1,
                                 static_cast<size_t>(random.Next() * static_cast<double>(folders.size())));
    std::string candidate = FileIn(music, folders[pick], RandomLetters(random, 5), extension);
    if (!fs::FileExists(path(candidate))) {
      *rel = std::move(candidate);
      return Status::OK();
    }
  }
  return Status::IOError("No place for the file on the device: every music folder name is taken");
}

}  // namespace cadenza
