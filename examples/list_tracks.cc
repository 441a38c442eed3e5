// Lists the tracks of a device: id, title and artist, one track a line.
//
//   list_tracks DEVICE_FOLDER
//
// DEVICE_FOLDER is the mount point of the iPod (or a folder made by
// `cadenza init`).
#include <cadenza/library.h>
#include <cadenza/version.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DEVICE_FOLDER  (Cadenza %s)\n", argv[0],
                 CADENZA_VERSION_STRING);
    return 2;
  }
  std::unique_ptr<cadenza::Library> lib;
  if (cadenza::Status st = cadenza::Library::Open(argv[1], {}, &lib); !st.ok()) {
    std::fprintf(stderr, "%s: %s\n", argv[1], st.message().c_str());
    return 1;
  }
  for (const cadenza::MHIT& track : lib->tracks()) {
    cadenza::TrackInfo info;
    if (!lib->Describe(track.iUniqueID, &info).ok()) continue;
    std::printf("%d\t%s\t%s\n", track.iUniqueID, info.sTitle.c_str(), info.sArtist.c_str());
  }
  return 0;
}
