// The artwork formats a device shows covers in: the sizes of the pictures the
// artwork database must hold for it, one slot per format and cover.
//
// A device's own list wins: the AlbumArt array of its
// iPod_Control/Device/SysInfoExtended. Without one, the formats come from
// the built-in table of the models with colour screens (iPod photo, video,
// nano 1G to 4G, classic); every other model (mini, the monochrome iPods,
// shuffle, and models the table does not know) gets none.
#ifndef CADENZA_DEVICE_ARTWORK_FORMATS_H_
#define CADENZA_DEVICE_ARTWORK_FORMATS_H_

#include <string>
#include <string_view>
#include <vector>

#include "device/device_info.h"
#include "platform/image.h"

namespace cadenza {

// The formats of the device mounted at `root`, whose model `info` describes
// (as ReadDeviceInfo finds it). Empty: write no artwork for this device.
std::vector<ArtworkFormat> ArtworkFormatsFor(const std::string& root, const DeviceInfo& info);

// The formats listed in the AlbumArt array of a SysInfoExtended's text. A
// stray <key> before each <dict> of the array (as real files have) is
// skipped. Entries with another pixel format than RGB565 little-endian or an
// impossible size are left out. Empty when there is no such array.
std::vector<ArtworkFormat> ArtworkFormatsFromSysInfoExtended(std::string_view xml);

// The built-in formats of a model, by the family and generation that
// DeviceInfo names ("iPod classic", "6G").
std::vector<ArtworkFormat> ArtworkFormatsForModel(std::string_view family,
                                                  std::string_view generation);

}  // namespace cadenza

#endif  // CADENZA_DEVICE_ARTWORK_FORMATS_H_
