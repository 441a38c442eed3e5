// Members whose readers are not wired in yet.
#include "cadenza/cadenza.h"

namespace cadenza {

bool clsCadenza::SetTrackInfo(const std::string&, TrackInfo&) { return false; }

}  // namespace cadenza
