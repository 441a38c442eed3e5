// Library: describing media files.
#include "cadenza/library.h"
#include "component/library_impl.h"
#include "media/describe.h"

namespace cadenza {

Status Library::Probe(const std::string& file, TrackInfo* info) const {
  const Impl& d = *impl_;
  MediaOptions options;
  options.component_folder = d.ComponentFolder();
  // The analyser runs for a while; the caller hears of it now and then.
  options.tick = [&] {
    d.Report({Progress::Stage::kAnalyse, file});
    return true;
  };
  std::vector<Status> errors;
  Status st = DescribeMediaFile(file, options, info, &errors);
  for (const Status& e : errors) d.Report({Progress::Stage::kAnalyserError, file, 0, 0, &e});
  return st;
}

Status Library::ProbeFile(const std::string& file, const Options& options, TrackInfo* info) {
  return Library("", options).Probe(file, info);
}

}  // namespace cadenza
