// The library menus of the newer iPods: the master playlist's sort indexes
// (data objects 52) and jump tables (53), the album list (section type 4,
// "mhla" of "mhia" items) and the artist list (section type 8, "mhli" of
// "mhii" items), and the track header fields that link tracks to them.
// They are derived from the tracks, so after an import, a delete or an edit
// they are rebuilt here from the live tracks. doc/format.md ("Library menus")
// gives each layout and the sort rules.
#ifndef CADENZA_DB_LIBRARY_INDEX_H_
#define CADENZA_DB_LIBRARY_INDEX_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "cadenza/database.h"
#include "cadenza/status.h"

namespace cadenza {

// Sort types of the index objects, in the order they are written.
inline constexpr int32_t kLibrarySortTypes[] = {0x03, 0x05, 0x04, 0x07, 0x12};

// Whether the database carries library indexes: sort-index objects (52/53) in the master
// playlist, or an album list (type 4 with mhla) or artist list (type 8) section.
bool HasLibraryIndexes(const Database& db);

// Regenerates, from the live tracks in their database order, the master playlist's sort
// index objects (52) and jump tables (53) — in the playlist section and, when present, the
// podcast section's master playlist — the album list (type 4) and the artist list (type 8),
// and the track fields that link tracks to albums/artists; with every size and count that
// covers them. `create`: make those that are missing (for models that need them); otherwise
// only those present are regenerated. Everything else (other data objects, smart playlists,
// other sections, other header bytes) is kept byte for byte.
Status RegenerateLibraryIndexes(Database& db, bool create);

// What the library menus of a database hold, decoded (for checks and reports).
struct LibraryMenus {
  struct SortIndex {
    int32_t sort_type = 0;
    std::vector<uint32_t> order;                 // object 52: track positions
    std::vector<std::array<uint32_t, 3>> jumps;  // object 53: letter, first, count
  };
  struct Item {
    int32_t id = 0;
    std::vector<std::u16string> texts;  // its text objects, in order
  };
  std::vector<SortIndex> indexes;  // of the playlist section's master playlist
  std::vector<Item> albums, artists;
};
LibraryMenus ReadLibraryMenus(const Database& db);

}  // namespace cadenza

#endif  // CADENZA_DB_LIBRARY_INDEX_H_
