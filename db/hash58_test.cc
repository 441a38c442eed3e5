#include "db/hash58.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "platform/fs.h"

#ifdef CADENZA_HAVE_LIBGPOD
#include <gpod/itdb.h>
#endif

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;

template <class Bytes>
std::string Hex(const Bytes& bytes) {
  std::string s;
  for (auto c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    s += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  }
  return s;
}

hash58::Guid MustParse(std::string_view text) {
  hash58::Guid g{};
  EXPECT_TRUE(hash58::ParseGuid(text, &g).ok()) << text;
  return g;
}

// A well-formed database image of `size` bytes: header length 0xF4, total
// length set, the rest filled with a pattern so that every byte matters.
std::string MakeImage(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  s.replace(0, 4, "mhbd");
  for (int i = 0; i < 4; ++i) {
    s[4 + i] = static_cast<char>((0xF4u >> (8 * i)) & 0xFF);
    s[8 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
  }
  return s;
}

TEST(Hash58Guid, AcceptsExactlySixteenHexDigits) {
  hash58::Guid g = MustParse("000A2700113EF298");
  EXPECT_EQ(g, (hash58::Guid{0x00, 0x0A, 0x27, 0x00, 0x11, 0x3E, 0xF2, 0x98}));
  EXPECT_EQ(MustParse("0x000a2700113ef298"), g);
  EXPECT_EQ(MustParse("0X000A2700113Ef298"), g);
  EXPECT_EQ(hash58::GuidToText(g), "000A2700113EF298");

  hash58::Guid untouched{1, 2, 3, 4, 5, 6, 7, 8};
  for (const char* bad : {"", "0x", "000A2700113EF29", "000A2700113EF2980",
                          "000A2700113EF298000A2700113EF298000A2700",  // 40 digits
                          " 000A2700113EF298", "000A2700113EF298\n", "000A2700113EF2G8",
                          "0x0x00A2700113EF298", "000A-2700113EF29", "+00A2700113EF298"}) {
    g = untouched;
    Status st = hash58::ParseGuid(bad, &g);
    EXPECT_EQ(st.code(), Status::Code::kInvalid) << '"' << bad << '"';
    EXPECT_EQ(g, untouched) << bad;
  }
}

TEST(Hash58Key, MatchesTheWorkedValues) {
  const std::map<std::string, std::string> worked = {
      {"000A2700113EF298", "4ed8f3c210e9d24f1c745a2ec6d26f1a8232a454"},
      {"000A27001234ABCD", "7656555989011358f15b51f7bf00c518ffd9109e"},
      {"000A2700FFFF8040", "3ea796c4d5eb4245e84f1c3f2007fdb20adacd15"},
  };
  for (const auto& [guid, key_hex] : worked) {
    hash58::Key key{};
    ASSERT_TRUE(hash58::DeriveKey(MustParse(guid), &key).ok());
    EXPECT_EQ(Hex(key), key_hex) << guid;
  }
}

TEST(Hash58Sign, CoversTheWholeFileExceptTheThreeBlankedRanges) {
  const hash58::Guid guid = MustParse("000A27001234ABCD");
  std::string image = MakeImage(5000);
  image.replace(hash58::kHash72Offset, hash58::kHash72Size, hash58::kHash72Size, '\0');
  ASSERT_TRUE(hash58::Sign(&image, guid).ok());
  ASSERT_TRUE(hash58::Verify(image, guid).ok());
  uint16_t scheme = 0;
  EXPECT_TRUE(hash58::ReadScheme(image, &scheme) && scheme == hash58::kSchemeHash58);
  // The database id and the range at 0x32 keep their values and are not hashed.
  EXPECT_EQ(image.substr(0x18, 8), MakeImage(5000).substr(0x18, 8));
  EXPECT_EQ(image.substr(0x32, 20), MakeImage(5000).substr(0x32, 20));
  std::string changed = image;
  changed[0x18] ^= 0x55;
  changed[0x45] ^= 0x55;
  EXPECT_TRUE(hash58::Verify(changed, guid).ok());

  // Every other byte counts: the last one, the hash72 area, the scheme field,
  // the total length, and the checksum itself.
  for (size_t at : {size_t{4999}, size_t{0x72}, size_t{0x9F}, size_t{0x31}, size_t{0x08},
                    size_t{0x46}, size_t{0x58}, size_t{0x6B}, size_t{0x6C}, size_t{0x17},
                    size_t{0x20}, size_t{0x2F}}) {
    changed = image;
    changed[at] ^= 0x01;
    EXPECT_EQ(hash58::Verify(changed, guid).code(), Status::Code::kCorrupt) << at;
  }
  // Another device's GUID gives another checksum.
  EXPECT_EQ(hash58::Verify(image, MustParse("000A27001234ABCE")).code(),
            Status::Code::kCorrupt);
}

TEST(Hash58Sign, ClearsAStaleHash72AndLeavesTheSectionsAlone) {
  const hash58::Guid guid = MustParse("000A2700113EF298");
  std::string image = MakeImage(0x200);  // the pattern fills 0x72..0x9F
  const std::string before = image;
  ASSERT_TRUE(hash58::Sign(&image, guid).ok());
  EXPECT_EQ(image.substr(0x72, 46), std::string(46, '\0'));
  EXPECT_TRUE(hash58::Verify(image, guid).ok());
  // Only the scheme field, the checksum and the hash72 area changed.
  for (size_t i = 0; i < image.size(); ++i) {
    if (!((i >= 0x30 && i < 0x32) || (i >= 0x58 && i < 0x6C) || (i >= 0x72 && i < 0xA0))) {
      ASSERT_EQ(image[i], before[i]) << i;
    }
  }
  // With a header shorter than the hash72 area, the bytes after the header
  // belong to the first section and stay as they are.
  std::string short_header = MakeImage(0x200);
  short_header[4] = static_cast<char>(0x80);
  const std::string section = short_header.substr(0x80, 0x20);
  ASSERT_TRUE(hash58::Sign(&short_header, guid).ok());
  EXPECT_EQ(short_header.substr(0x72, 0x0E), std::string(0x0E, '\0'));
  EXPECT_EQ(short_header.substr(0x80, 0x20), section);
  EXPECT_TRUE(hash58::Verify(short_header, guid).ok());
}

TEST(Hash58Sign, RefusesImagesThatCannotCarryTheChecksum) {
  const hash58::Guid guid = MustParse("000A2700113EF298");
  struct Case {
    const char* what;
    std::string image;
    Status::Code code;
    bool hash_refused;  // computing the checksum is refused too
  };
  auto with = [](size_t at, char v) {
    std::string s = MakeImage(0x200);
    s[at] = v;
    return s;
  };
  const Case cases[] = {
      {"empty", "", Status::Code::kInvalid, true},
      {"one byte short", MakeImage(hash58::kMinimumSize - 1), Status::Code::kInvalid, true},
      {"not a database", with(0, 'x'), Status::Code::kCorrupt, true},
      // The first section would start inside the checksum.
      {"header too short", with(4, 0x68), Status::Code::kInvalid, true},
      {"total length not final", with(8, 0x10), Status::Code::kInvalid, false},
  };
  for (const auto& c : cases) {
    std::string image = c.image;
    Status st = hash58::Sign(&image, guid);
    EXPECT_EQ(st.code(), c.code) << c.what << ": " << st.message();
    EXPECT_EQ(image, c.image) << c.what << " must stay unchanged";
    hash58::Hash h{};
    EXPECT_EQ(hash58::ComputeHash(c.image, guid, &h).ok(), !c.hash_refused) << c.what;
  }
  // The shortest image that can carry it is accepted.
  std::string smallest = MakeImage(hash58::kMinimumSize);
  smallest[4] = static_cast<char>(hash58::kMinimumSize);
  EXPECT_TRUE(hash58::Sign(&smallest, guid).ok());
  EXPECT_TRUE(hash58::Verify(smallest, guid).ok());
}

// ---- Known-answer vectors signed by an independent implementation ----

stdfs::path VectorsDir() { return stdfs::path(CADENZA_SHARED_DIR) / "hash58-vectors"; }

TEST(Hash58Vectors, EveryVectorChecksAndResignsToTheSameBytes) {
  if (!stdfs::is_directory(VectorsDir())) GTEST_SKIP() << "no " << VectorsDir();
  // The expected values, as published beside the vectors.
  const std::map<std::string, std::string> expected = {
      {"xA978_000A2700113EF298", "5b1d6fc27166e165ad6aed153c020913f6ea10c7"},
      {"xB029_000A2700113EF298", "f747a06b95fbb5e784108092bebb820a8e63708c"},
      {"xB029_000A27001BADC0DE", "75a90bffdc8a8d3ddaa712c5bef8de7c935bdf1b"},
      {"xB029_000A27001234ABCD", "50787245e23e2238c26165f35d8621d416aa57a3"},
      {"xB565_000A2700FFFF8040", "f74e9cf04bcf4e0d3c3f0592532ca552f1a9009d"},
      {"xB598_000A27001234ABCD_300tracks", "9c4f56af7bd7516e58411927bc0b517b9f1a5e10"},
  };
  int signed_vectors = 0, unsigned_vectors = 0;
  for (const auto& entry : stdfs::directory_iterator(VectorsDir())) {
    if (!entry.is_directory()) continue;
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    // x<Model>_<GUID>[_note]
    size_t us = name.find('_');
    ASSERT_NE(us, std::string::npos);
    const hash58::Guid guid = MustParse(name.substr(us + 1, 16));
    std::string file;
    ASSERT_TRUE(fs::ReadWholeFile((entry.path() / "iTunesDB").string(), &file).ok());
    ASSERT_GE(file.size(), hash58::kMinimumSize);
    uint16_t scheme = 99;
    ASSERT_TRUE(hash58::ReadScheme(file, &scheme));

    if (name.ends_with("_nohash")) {
      ++unsigned_vectors;
      EXPECT_EQ(scheme, hash58::kSchemeNone);
      EXPECT_EQ(file.substr(0x58, 20), std::string(20, '\0'));
      EXPECT_EQ(hash58::Verify(file, guid).code(), Status::Code::kCorrupt);
      continue;
    }
    ++signed_vectors;
    EXPECT_EQ(scheme, hash58::kSchemeHash58);
    hash58::Hash hash{};
    ASSERT_TRUE(hash58::ComputeHash(file, guid, &hash).ok());
    EXPECT_EQ(Hex(hash), Hex(file.substr(0x58, 20)));
    if (expected.count(name)) {
      EXPECT_EQ(Hex(hash), expected.at(name));
    }
    EXPECT_TRUE(hash58::Verify(file, guid).ok());

    // Blank the checksum and the scheme field, sign again: the same file.
    std::string blank = file;
    blank.replace(0x58, 20, 20, '\0');
    blank[0x30] = 0;
    ASSERT_TRUE(hash58::Sign(&blank, guid).ok());
    EXPECT_TRUE(blank == file) << "re-signed file differs";
  }
  EXPECT_GE(signed_vectors, 6);
  EXPECT_GE(unsigned_vectors, 1);
}

#ifdef CADENZA_HAVE_LIBGPOD

// Has libgpod build and sign a database in a fresh device folder whose
// SysInfo names `model` and `guid`, and returns the file it wrote.
std::string WriteWithLibgpod(const stdfs::path& root, const std::string& model,
                             const std::string& guid, int tracks) {
  stdfs::remove_all(root);
  stdfs::create_directories(root / "iPod_Control" / "Device");
  stdfs::create_directories(root / "iPod_Control" / "iTunes");
  std::ofstream(root / "iPod_Control" / "Device" / "SysInfo")
      << "ModelNumStr: " << model << "\nFirewireGuid: 0x" << guid << "\n";

  Itdb_iTunesDB* db = itdb_new();
  itdb_set_mountpoint(db, root.c_str());
  Itdb_Playlist* mpl = itdb_playlist_new("iPod", FALSE);
  itdb_playlist_set_mpl(mpl);
  itdb_playlist_add(db, mpl, -1);
  for (int i = 0; i < tracks; ++i) {
    Itdb_Track* t = itdb_track_new();
    t->title = g_strdup(("Track " + std::to_string(i)).c_str());
    t->ipod_path = g_strdup((":iPod_Control:Music:F00:T" + std::to_string(i) + ".mp3").c_str());
    t->tracklen = 60000 + i;
    itdb_track_add(db, t, -1);
    itdb_playlist_add_track(mpl, t, -1);
  }
  EXPECT_TRUE(itdb_write(db, nullptr));
  itdb_free(db);
  std::string file;
  EXPECT_TRUE(fs::ReadWholeFile((root / "iPod_Control" / "iTunes" / "iTunesDB").string(), &file).ok());
  return file;
}

TEST(Hash58Libgpod, OurSignatureOfTheSameBytesEqualsLibgpods) {
  const stdfs::path root =
      stdfs::temp_directory_path() / ("cadenza_hash58_gpod_" + std::to_string(::getpid()));
  // Apple-style GUIDs and arbitrary ones: every byte pair matters for the key
  // (zero bytes, equal bytes, common factors, coprime pairs).
  std::vector<std::string> guids = {"000A2700113EF298", "000A27001BC8EED6", "000A2700FFFF8040",
                                    "FF01FEFD80400C12", "0A0A0A0A0A0A0A0A", "00FF00FF00FF00FF"};
  std::mt19937 rng(58);
  for (int i = 0; i < 6; ++i) {
    hash58::Guid g{};
    for (auto& b : g) b = static_cast<uint8_t>(rng());
    guids.push_back(hash58::GuidToText(g));
  }
  const std::vector<std::string> models = {"xB029", "xA978", "xB598", "xC293"};
  int n = 0;
  for (const std::string& guid_text : guids) {
    const std::string model = models[static_cast<size_t>(n) % models.size()];
    const int tracks = n % 3;
    ++n;
    SCOPED_TRACE(model + " " + guid_text + " tracks=" + std::to_string(tracks));
    const std::string file = WriteWithLibgpod(root, model, guid_text, tracks);
    ASSERT_GE(file.size(), hash58::kMinimumSize);
    ASSERT_EQ(file[0x30], 1) << "libgpod did not sign";
    const hash58::Guid guid = MustParse(guid_text);
    std::string blank = file;
    blank.replace(0x58, 20, 20, '\0');
    ASSERT_TRUE(hash58::Sign(&blank, guid).ok());
    EXPECT_EQ(Hex(blank.substr(0x58, 20)), Hex(file.substr(0x58, 20)));
    EXPECT_TRUE(blank == file);
  }
  stdfs::remove_all(root);
}

#endif  // CADENZA_HAVE_LIBGPOD

}  // namespace
}  // namespace cadenza
