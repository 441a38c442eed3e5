// Library: describing media files.
#include "cadenza/library.h"
#include "component/library_impl.h"

namespace cadenza {

Status Library::Probe(const std::string& file, TrackInfo* info) const {
  return Probe(file, info, nullptr);
}

Status Library::ProbeFile(const std::string& file, const Options& options, TrackInfo* info) {
  return Library("", options).Probe(file, info);
}

}  // namespace cadenza
