// The folder listing used by the import and the rebuild.
#include "component/placement.h"

#include <vector>

#include "platform/fs.h"

namespace cadenza {

std::string ListFolder(std::string sPath, bool bTopOnly, bool bIncludeFolders,
                       bool bNamesOnly) {
  if (sPath.empty()) return {};
  if (sPath.back() != '/' && sPath.back() != fs::kSeparator) sPath += fs::kSeparator;
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
  for (const std::string& f : folders) out += ListFolder(sPath + f + fs::kSeparator, false, false, false);
  return out;
}

}  // namespace cadenza
