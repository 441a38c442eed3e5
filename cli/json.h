// JSON forms of the public records, for the command-line tool's --json
// output: keys are the record field names, text is UTF-8, byte strings are
// lower-case hexadecimal.
#ifndef CADENZA_CLI_JSON_H_
#define CADENZA_CLI_JSON_H_

#include <nlohmann/json.hpp>

#include "cadenza/records.h"

namespace cadenza::cli {

using Json = nlohmann::ordered_json;

struct JsonOptions {
  bool images = true;  // include the header and chunk images
};

Json ToJson(const MHBD& r, const JsonOptions& o);
Json ToJson(const MHSD_T& r, const JsonOptions& o);
Json ToJson(const MHSD_P& r, const JsonOptions& o);
Json ToJson(const MHSD_A& r, const JsonOptions& o);
Json ToJson(const MHIT& r, const JsonOptions& o);
Json ToJson(const TrackInfo& r);

std::string Hex(std::string_view bytes);

}  // namespace cadenza::cli

#endif  // CADENZA_CLI_JSON_H_
