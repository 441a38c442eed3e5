#include "cli/json.h"

namespace cadenza::cli {

namespace {

template <typename Record>
Json Document(const Record& r, const JsonOptions& o) {
  std::string text;
  AppendJson(text, r, o);
  return Json::parse(text);
}

}  // namespace

Json ToJson(const MHBD& r, const JsonOptions& o) { return Document(r, o); }
Json ToJson(const MHSD_T& r, const JsonOptions& o) { return Document(r, o); }
Json ToJson(const MHSD_P& r, const JsonOptions& o) { return Document(r, o); }
Json ToJson(const MHSD_A& r, const JsonOptions& o) { return Document(r, o); }
Json ToJson(const MHIT& r, const JsonOptions& o) { return Document(r, o); }
Json ToJson(const TrackInfo& r) { return Document(r, {}); }

}  // namespace cadenza::cli
