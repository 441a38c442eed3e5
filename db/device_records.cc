#include "db/device_records.h"

#include <string>

#include "db/codec.h"

namespace cadenza {

namespace {

// "Play Counts" header and entry fields.
constexpr size_t kCountsHeaderLengthAt = 4, kCountsEntryLengthAt = 8, kCountsEntriesAt = 12;
constexpr uint32_t kCountsMinHeader = 16;
constexpr uint32_t kEntryPlays = 0, kEntryLastPlayed = 4, kEntryBookmark = 8, kEntryRating = 12,
                   kEntrySkips = 20, kEntryLastSkipped = 24;
constexpr uint32_t kEntryMin = 12;

// 1st/2nd generation iTunesStats: 3-byte numbers.
constexpr size_t kOldStatsHeader = 6, kOldStatsEntry = 18;
constexpr uint32_t kOldBookmarkUnitMs = 256;
// 3rd/4th generation iTunesStats: 4-byte numbers.
constexpr size_t kNewStatsHeader = 8, kNewStatsEntry = 32;

// On-The-Go list header.
constexpr size_t kOtgHeaderLengthAt = 4, kOtgCountAt = 12, kOtgMinHeader = 16;

uint32_t U32(std::string_view b, size_t at) { return LoadLE32(b.data() + at); }
uint32_t U24(std::string_view b, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16;
}

// Whether `count` entries of `length` bytes from `start` fit in `size`.
bool Fits(size_t size, size_t start, uint64_t count, uint64_t length) {
  return start <= size && count * length <= size - start;
}

Status ParseOldStats(std::string_view file, std::vector<PlayRecord>* out) {
  const uint32_t count = U24(file, 0);
  if (!Fits(file.size(), kOldStatsHeader, count, kOldStatsEntry))
    return Status::Corrupt("iTunesStats is shorter than its " + std::to_string(count) + " entries");
  size_t at = kOldStatsHeader;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t length = U24(file, at);
    if (length < kOldStatsEntry || !Fits(file.size(), at, 1, length))
      return Status::Corrupt("iTunesStats entry " + std::to_string(i) + " has a wrong length");
    PlayRecord& r = out->emplace_back();
    r.bookmark_ms = U24(file, at + 3) * kOldBookmarkUnitMs;
    r.plays = U24(file, at + 12);
    r.skips = U24(file, at + 15);
    at += length;
  }
  return Status::OK();
}

Status ParseNewStats(std::string_view file, std::vector<PlayRecord>* out) {
  const uint32_t count = U32(file, 0);
  if (!Fits(file.size(), kNewStatsHeader, count, kNewStatsEntry))
    return Status::Corrupt("iTunesStats is shorter than its " + std::to_string(count) + " entries");
  size_t at = kNewStatsHeader;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t length = U32(file, at);
    if (length < 24 || !Fits(file.size(), at, 1, length))
      return Status::Corrupt("iTunesStats entry " + std::to_string(i) + " has a wrong length");
    PlayRecord& r = out->emplace_back();
    r.bookmark_ms = U32(file, at + 4);
    r.plays = U32(file, at + 8);
    r.last_played = U32(file, at + 12);
    r.skips = U32(file, at + 16);
    r.last_skipped = U32(file, at + 20);
    at += length;
  }
  return Status::OK();
}

}  // namespace

Status ParsePlayCounts(std::string_view file, std::vector<PlayRecord>* out) {
  out->clear();
  if (file.size() < kCountsMinHeader || file.substr(0, 4) != "mhdp")
    return Status::Corrupt("Play Counts does not start with an 'mhdp' header");
  const uint32_t header = U32(file, kCountsHeaderLengthAt);
  const uint32_t length = U32(file, kCountsEntryLengthAt);
  const uint32_t count = U32(file, kCountsEntriesAt);
  if (header < kCountsMinHeader || length < kEntryMin)
    return Status::Corrupt("Play Counts has a header of " + std::to_string(header) +
                           " bytes and entries of " + std::to_string(length));
  if (!Fits(file.size(), header, count, length))
    return Status::Corrupt("Play Counts is shorter than its " + std::to_string(count) + " entries");
  out->reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    const std::string_view e = file.substr(header + static_cast<size_t>(i) * length, length);
    PlayRecord& r = out->emplace_back();
    r.plays = U32(e, kEntryPlays);
    r.last_played = U32(e, kEntryLastPlayed);
    r.bookmark_ms = U32(e, kEntryBookmark);
    if (length >= kEntryRating + 4) r.rating = static_cast<int32_t>(U32(e, kEntryRating));
    if (length >= kEntryLastSkipped + 4) {
      r.skips = U32(e, kEntrySkips);
      r.last_skipped = U32(e, kEntryLastSkipped);
    }
  }
  return Status::OK();
}

Status ParseShuffleStats(std::string_view file, std::vector<PlayRecord>* out) {
  out->clear();
  // The older layout's first entry starts at byte 6 with its 3-byte length
  // 18; the newer one's at byte 8 with the 4-byte length 32.
  if (file.size() >= kNewStatsHeader && (U32(file, 0) == 0 || (file.size() >= kNewStatsHeader + 4 &&
                                                              U32(file, kNewStatsHeader) == kNewStatsEntry)))
    return ParseNewStats(file, out);
  if (file.size() >= kOldStatsHeader) return ParseOldStats(file, out);
  return Status::Corrupt("iTunesStats is too short for its header");
}

Status ParseOnTheGoList(std::string_view file, std::vector<uint32_t>* out) {
  out->clear();
  if (file.size() < kOtgMinHeader || file.substr(0, 4) != "mhpo")
    return Status::Corrupt("the On-The-Go list does not start with an 'mhpo' header");
  const uint32_t header = U32(file, kOtgHeaderLengthAt);
  const uint32_t count = U32(file, kOtgCountAt);
  if (header < kOtgMinHeader || !Fits(file.size(), header, count, 4))
    return Status::Corrupt("the On-The-Go list is shorter than its " + std::to_string(count) +
                           " entries");
  out->reserve(count);
  for (uint32_t i = 0; i < count; ++i) out->push_back(U32(file, header + 4 * static_cast<size_t>(i)));
  return Status::OK();
}

}  // namespace cadenza
