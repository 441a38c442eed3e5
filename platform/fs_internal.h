// Pieces shared by the portable and the per-system parts of the
// file-system layer. Not for use outside platform/.
#ifndef CADENZA_PLATFORM_FS_INTERNAL_H_
#define CADENZA_PLATFORM_FS_INTERNAL_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cadenza::fs::internal {

// Bytes the test hook still lets through (-1: no limit).
std::atomic<int64_t>& WriteLimit();

bool EqualNoCase(std::string_view a, std::string_view b);

// Whether `name` is a temporary file that WriteFileAtomic made for a file
// named `target`.
bool IsTempFor(std::string_view name, std::string_view target);

// Splits a path at its last separator ("/", and on Windows also "\"): the
// folder (empty when there is none) and the name.
void SplitPath(std::string_view path, std::string* folder, std::string* name);

// The non-empty items of a list such as PATH, in order.
std::vector<std::string> SplitList(std::string_view list, char separator);

}  // namespace cadenza::fs::internal

#endif  // CADENZA_PLATFORM_FS_INTERNAL_H_
