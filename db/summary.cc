#include "db/summary.h"

#include "db/codec.h"
#include "db/layout.h"

namespace cadenza {

Status ReadDatabaseSummary(const Bytes& file, DatabaseSummary* out) {
  ByteReader r(file);
  MHBD& h = out->header;
  ReadFields(r, 0, kMHBDFields, h);
  if (r.failed() || h.iHeaderSize <= 0 || h.iTotalSize != r.size())
    return Status::Corrupt("The database header does not describe the file");
  h.sHeaderData = r.Image(0, h.iHeaderSize);
  int64_t pos = h.iHeaderSize;
  for (int32_t n = 0; n < h.iNumberOfMHSD; ++n) {
    MHSD_A s;
    ReadFields(r, pos, kSectionFields<MHSD_A>, s);
    if (r.failed() || !r.IdAt(pos, "mhsd") || s.iHeaderSize <= 0 || s.iTotalSize < s.iHeaderSize ||
        pos + s.iTotalSize > r.size())
      return Status::Corrupt("Section " + std::to_string(n + 1) + " of the database is damaged");
    // The list header follows the section header: its third field counts
    // the tracks or the playlists.
    const int64_t list = pos + s.iHeaderSize;
    r.Seek(list + 8);
    const int32_t count = r.Long();
    if (s.iType >= 1 && s.iType <= 3 && (r.failed() || count < 0))
      return Status::Corrupt("Section " + std::to_string(n + 1) + " of the database is damaged");
    if (s.iType == 1) out->tracks = count;
    if (s.iType == 2) out->playlists = count;
    if (s.iType == 3) out->podcasts = count;
    pos += s.iTotalSize;
  }
  return Status::OK();
}

}  // namespace cadenza
