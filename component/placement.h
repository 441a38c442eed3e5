// Folder listing used by the import and the rebuild.
#ifndef CADENZA_COMPONENT_PLACEMENT_H_
#define CADENZA_COMPONENT_PLACEMENT_H_

#include <string>

#include "cadenza/status.h"
#include "platform/random.h"

namespace cadenza {

// The entries of `sPath` as one string, each entry preceded by "*", in name
// order. With bTopOnly only the folder itself; with bIncludeFolders folder
// entries of the first level are listed too; with bNamesOnly the first
// level gives bare names. Below the first level, files only, full paths,
// to the bottom. Empty for a folder that does not exist.
std::string ListFolder(std::string sPath, bool bTopOnly, bool bIncludeFolders,
                       bool bNamesOnly);

// Picks the place of a new media file on the device at `root`: a music
// folder (made when needed) and a random name with `extension`. *rel
// receives the path below the root, "\\" separated. Fails when the folders
// cannot be made or no free name is found.
Status ChooseDevicePath(const std::string& root, const std::string& extension, Random& random,
                        std::string* rel);

}  // namespace cadenza

#endif  // CADENZA_COMPONENT_PLACEMENT_H_
