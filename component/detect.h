// The questions about the iPod's drive, put to the user through the host.
#ifndef CADENZA_COMPONENT_DETECT_H_
#define CADENZA_COMPONENT_DETECT_H_

#include <string>

#include "cadenza/host.h"
#include "device/detect.h"

namespace cadenza {

// Asks the search's question, if any (a Yes/No box with the default title),
// and lets the user browse for the drive when the answer calls for it.
// Returns the drive root with a trailing "/", or empty when the user
// declined or cancelled.
std::string AskForiPodDrive(Host& host, const DriveSearch& found);

}  // namespace cadenza

#endif  // CADENZA_COMPONENT_DETECT_H_
