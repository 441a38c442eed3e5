// Folder listing used by the import and the rebuild.
#ifndef CADENZA_COMPONENT_PLACEMENT_H_
#define CADENZA_COMPONENT_PLACEMENT_H_

#include <string>

namespace cadenza {

// The entries of `sPath` as one string, each entry preceded by "*", in name
// order. With bTopOnly only the folder itself; with bIncludeFolders folder
// entries of the first level are listed too; with bNamesOnly the first
// level gives bare names. Below the first level, files only, full paths,
// to the bottom. Empty for a folder that does not exist.
std::string ListFolder(std::string sPath, bool bTopOnly, bool bIncludeFolders,
                       bool bNamesOnly);

}  // namespace cadenza

#endif  // CADENZA_COMPONENT_PLACEMENT_H_
