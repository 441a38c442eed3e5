// libgpod through the gpod_oracle tool, and the command-line tool, for the
// end-to-end tests that compare what each reads.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/e2e_util.h"

namespace cadenza::e2e {

using json = nlohmann::json;

// Runs gpod_oracle; its standard output, or nullopt when it failed.
inline std::optional<std::string> Oracle(const std::vector<std::string>& args) {
  std::string cmd = Quote(GPOD_ORACLE_PATH);
  for (const auto& a : args) cmd += " " + Quote(a);
  RunResult r = Shell(cmd);
  return r.status == 0 ? std::optional(r.out) : std::nullopt;
}
inline json Dump(const stdfs::path& path) {
  auto out = Oracle({"dump", path.string()});
  if (!out) ADD_FAILURE() << "libgpod cannot read " << path;
  return out ? json::parse(*out) : json::object();
}
// A text field of the dump; libgpod has no text where there is no object.
inline std::string Str(const json& v) { return v.is_string() ? v.get<std::string>() : std::string(); }

}  // namespace cadenza::e2e
