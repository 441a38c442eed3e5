// Members whose readers are not wired in yet.
#include "cadenza/cadenza.h"

namespace cadenza {

bool clsCadenza::SetTrackInfo(const std::string&, TrackInfo&) { return false; }
void clsCadenza::DetectiPodDrive(int32_t, const std::string&) { m_siPodDrive.clear(); }
std::string clsCadenza::GetiPodDriveString(int32_t, const std::string&, bool) { return {}; }

}  // namespace cadenza
