// Writes the blank database template ("Cadenza") that a reset installs on a
// device: a header, an empty track list, a podcast section and a playlist
// section, each holding one master playlist with a title object.
//
//   make_blank_db OUTPUT
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "db/codec.h"

namespace {

using cadenza::PackInteger;
using cadenza::PackLong;

// A header of `size` bytes that starts with `fields`, zero filled.
std::string Header(const std::string& fields, size_t size) {
  std::string h = fields;
  h.resize(size, '\0');
  return h;
}

std::string TitleObject(const std::u16string& title) {
  std::string text;
  for (char16_t c : title) {
    text += static_cast<char>(c & 0xFF);
    text += static_cast<char>(c >> 8);
  }
  const int32_t len = static_cast<int32_t>(text.size());
  return "mhod" + PackLong(24) + PackLong(40 + len) + PackLong(1) + PackLong(0) + PackLong(0) +
         PackLong(1) + PackLong(len) + PackLong(1) + PackLong(0) + text;
}

// A section of type 2 or 3 holding the master playlist.
std::string PlaylistSection(int32_t type, const std::string& playlist_id) {
  std::string title = TitleObject(u"iPod");
  const int32_t mhyp_header = 108;
  std::string mhyp = Header("mhyp" + PackLong(mhyp_header) +
                                PackLong(mhyp_header + static_cast<int32_t>(title.size())) +
                                PackLong(1) +               // one data object: the title
                                PackLong(0) +               // no items yet
                                std::string(1, '\1') +      // master playlist
                                std::string(3, '\0') +      //
                                PackLong(0) +               // time stamp
                                playlist_id +               // playlist id (8 bytes)
                                PackLong(0) + PackInteger(1) +  // data object count
                                PackInteger(0) + PackLong(1),   // podcast flag, sort order
                            mhyp_header) +
                     title;
  std::string mhlp = Header("mhlp" + PackLong(92) + PackLong(1), 92);
  const int32_t total = 96 + static_cast<int32_t>(mhlp.size() + mhyp.size());
  return Header("mhsd" + PackLong(96) + PackLong(total) + PackLong(type), 96) + mhlp + mhyp;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_blank_db OUTPUT\n";
    return 2;
  }
  std::string tracks = Header("mhsd" + PackLong(96) + PackLong(96 + 92) + PackLong(1), 96) +
                       Header("mhlt" + PackLong(92) + PackLong(0), 92);
  std::string podcasts = PlaylistSection(3, "CADENZA\x03");
  std::string playlists = PlaylistSection(2, "CADENZA\x02");
  const int32_t header = 244;
  const int32_t total =
      header + static_cast<int32_t>(tracks.size() + podcasts.size() + playlists.size());
  std::string mhbd = Header("mhbd" + PackLong(header) + PackLong(total) + PackLong(1) +
                                PackLong(0x30) +   // version
                                PackLong(3) +      // three sections
                                std::string("CADENZA\x01") + PackInteger(2),
                            header);
  mhbd.replace(0x46, 2, "en");
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << mhbd << tracks << podcasts << playlists;
  if (!out.flush()) {
    std::cerr << "cannot write " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
