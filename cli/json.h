// JSON documents of the public records for the command-line tool. The text
// comes from db/record_json.h (which can also stream it); these wrap it as
// documents for output that mixes records with other values.
#ifndef CADENZA_CLI_JSON_H_
#define CADENZA_CLI_JSON_H_

#include <nlohmann/json.hpp>

#include "cadenza/records.h"
#include "db/record_json.h"

namespace cadenza::cli {

using Json = nlohmann::ordered_json;
using cadenza::Hex;
using cadenza::JsonOptions;

Json ToJson(const MHBD& r, const JsonOptions& o);
Json ToJson(const MHSD_T& r, const JsonOptions& o);
Json ToJson(const MHSD_P& r, const JsonOptions& o);
Json ToJson(const MHSD_A& r, const JsonOptions& o);
Json ToJson(const MHIT& r, const JsonOptions& o);
Json ToJson(const TrackInfo& r);

}  // namespace cadenza::cli

#endif  // CADENZA_CLI_JSON_H_
