// Database: the in-memory state of one loaded iPod database, shared by the
// loader, the parsers, the writer and the serializers.
#ifndef CADENZA_DATABASE_H_
#define CADENZA_DATABASE_H_

#include <cstdint>
#include <vector>

#include "cadenza/records.h"

namespace cadenza {

struct Database {
  MHBD m_MHBD;
  MHSD_T m_MHSD_T;            // section type 1
  MHSD_P m_MHSD_PlayLists;    // section type 2
  MHSD_P m_MHSD_Podcasts;     // section type 3
  MHSD_A m_MHSD_A;            // section type 4, kept as an image
  MHSD_NP m_MHSD_NP;          // section type 5, kept as an image
  // Tracks marked deleted since the last load.
  int32_t m_iDeletedTracks = 0;
  // Sections of any other type, kept as images in their loaded order.
  std::vector<MHSD_A> m_aOtherSections;
  // Bytes behind the last section that the header counts.
  Bytes m_sTrailingData;
};

}  // namespace cadenza

#endif  // CADENZA_DATABASE_H_
