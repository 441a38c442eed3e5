#include "media/cover.h"

namespace cadenza {

bool IsCoverImage(std::string_view bytes) {
  return bytes.starts_with("\xFF\xD8\xFF") || bytes.starts_with("\x89PNG\r\n\x1A\n");
}

Status ReadEmbeddedCover(const std::string&, std::string*) { return Status::NotFound("no cover"); }

std::string FindCoverBeside(const std::string&) { return {}; }

}  // namespace cadenza
