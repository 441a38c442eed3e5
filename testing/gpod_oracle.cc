// gpod_oracle: writes, reads and times device databases with libgpod, an
// independent implementation of the format: reference databases and a
// second reader for the end-to-end tests, a peer for the database benchmark.
//
//   gpod_oracle make DIR [--tracks N] [--playlists P] [--model MODEL]
//       tracks (some in non-Latin letters), playlists, six podcast episodes
//       and two smart playlists
//   gpod_oracle synth DIR --tracks N      the benchmark's database: 19 mixes,
//       5 of the N tracks podcast episodes, seven text objects per track
//   gpod_oracle art DIR IMAGE [--tracks N] [--model MODEL]
//       as make, with IMAGE as every track's cover: libgpod writes the
//       ArtworkDB and .ithmb files of models that show art
//   gpod_oracle dump PATH     a device folder or database file as JSON
//   gpod_oracle thumbs DIR OUTDIR   each track's artwork as libgpod reads it
//       back: JSON on standard output, one PPM a thumbnail in OUTDIR
//   gpod_oracle bench DIR     times a parse and a write
//   gpod_oracle parse DIR     times a parse, with the memory it took
//   gpod_oracle rewrite DIR   reads a device's database and writes it again
//       (libgpod's own sort indexes, album and artist lists)
//   gpod_oracle shuffle DIR   reads a device's database and writes its
//       iTunesSD as libgpod does for the device's model
// Every value written comes from the track index: a rerun writes the same
// bytes.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gpod/itdb.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

constexpr time_t kBaseTime = 1262304000;  // 2010-01-01 00:00:00 UTC

struct Options {
  std::string dir, model = "xA147";  // iPod video 5G
  std::string image{};               // art: every track's cover
  int tracks = 10, playlists = 2;
  bool synth = false;
};

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "gpod_oracle: %s\n", message.c_str());
  std::exit(1);
}

// Writes the database where libgpod's device says, or fails.
void Write(Itdb_iTunesDB* itdb) {
  GError* error = nullptr;
  if (!itdb_write(itdb, &error))
    Fail(std::string("itdb_write failed: ") + (error ? error->message : "unknown error"));
}

// Options from argv[first] on.
Options ParseOptions(int argc, char** argv, bool synth, int first = 3) {
  Options o{.dir = argv[2], .playlists = synth ? 19 : 2, .synth = synth};
  for (int i = first; i < argc; i += 2) {
    const std::string a = argv[i];
    if (i + 1 == argc) Fail("missing value after " + a);
    char* end = nullptr;
    const long v = std::strtol(argv[i + 1], &end, 10);
    if (a == "--model")
      o.model = argv[i + 1];
    else if ((a == "--tracks" || a == "--playlists") && !*end && v >= 0)
      (a == "--tracks" ? o.tracks : o.playlists) = static_cast<int>(v);
    else
      Fail("bad option " + a);
  }
  return o;
}

// The device's folders and a SysInfo naming the model, from which libgpod
// takes the database version and header sizes; the FireWire id lets it sign
// the database of the models that check a hash.
Itdb_iTunesDB* NewDatabase(const Options& o) {
  const fs::path root = o.dir;
  std::error_code ec;
  for (const char* d : {"iPod_Control/iTunes", "iPod_Control/Device", "iPod_Control/Music/F00"})
    fs::create_directories(root / d, ec);
  std::ofstream(root / "iPod_Control/Device/SysInfo")
      << "ModelNumStr: " << o.model << "\nFirewireGuid: 0x000A27001A2B3C4D\n";
  if (ec) Fail("cannot create the device folders below " + o.dir);
  Itdb_iTunesDB* itdb = itdb_new();
  itdb_set_mountpoint(itdb, o.dir.c_str());
  const Itdb_IpodInfo* info = itdb_device_get_ipod_info(itdb->device);
  if (!info || info->ipod_model == ITDB_IPOD_MODEL_INVALID ||
      info->ipod_model == ITDB_IPOD_MODEL_UNKNOWN)
    Fail("libgpod does not know the model " + o.model);
  itdb->id = 0x434144454E5A4131ULL;
  itdb->tzoffset = 0;
  return itdb;
}

Itdb_Playlist* AddPlaylist(Itdb_iTunesDB* itdb, const std::string& name, guint64 n,
                           bool smart = false) {
  Itdb_Playlist* pl = itdb_playlist_new(name.c_str(), smart);
  pl->id = 0x504C000000000000ULL + n * 0x1000193ULL;
  pl->timestamp = kBaseTime + static_cast<time_t>(pl->id & 0xFFFF);
  if (smart) {  // a new smart playlist comes with a default rule: the callers set their own
    while (pl->splrules.rules)
      itdb_splr_remove(pl, static_cast<Itdb_SPLRule*>(pl->splrules.rules->data));
    pl->splpref = Itdb_SPLPref{};
    pl->splpref.liveupdate = pl->splpref.checkrules = 1;
  }
  itdb_playlist_add(itdb, pl, -1);
  return pl;
}

void AddRule(Itdb_Playlist* pl, guint32 field, guint32 action, guint64 from, guint64 to,
             const char* text) {
  Itdb_SPLRule* r = itdb_splr_add_new(pl, -1);
  r->field = field;
  r->action = action;
  if (text) {
    g_free(r->string);
    r->string = g_strdup(text);
  } else {
    r->fromvalue = from;
    r->tovalue = to;
    r->fromunits = r->tounits = 1;
  }
}

// Year 1970..1989, at most 25 songs by title; artist contains "Davis" or
// genre is "Jazz".
void AddSmartPlaylists(Itdb_iTunesDB* itdb) {
  Itdb_Playlist* a = AddPlaylist(itdb, "Seventies and Eighties", 900, true);
  a->splpref.checklimits = 1;
  a->splpref.limittype = ITDB_LIMITTYPE_SONGS;
  a->splpref.limitsort = ITDB_LIMITSORT_SONG_NAME;
  a->splpref.limitvalue = 25;
  a->splrules.match_operator = ITDB_SPLMATCH_AND;
  AddRule(a, ITDB_SPLFIELD_YEAR, ITDB_SPLACTION_IS_IN_THE_RANGE, 1970, 1989, nullptr);
  Itdb_Playlist* b = AddPlaylist(itdb, "Jazz Picks", 901, true);
  b->splrules.match_operator = ITDB_SPLMATCH_OR;
  AddRule(b, ITDB_SPLFIELD_ARTIST, ITDB_SPLACTION_CONTAINS, 0, 0, "Davis");
  AddRule(b, ITDB_SPLFIELD_GENRE, ITDB_SPLACTION_IS_STRING, 0, 0, "Jazz");
  itdb_spl_update_all(itdb);
}

const char* const kArtists[] = {"The Beatles", "Miles Davis", "Radiohead", "Nina Simone",
                                "Daft Punk",   "Kraftwerk",   "Sigur Rós", "Aretha Franklin"};
const char* const kGenres[] = {"Rock", "Jazz", "Soul", "Electronic", "Classical", "Pop"};
const char* const kWords[] = {"Blue",    "Night",    "River",  "Paper",  "Golden", "Silent",
                              "Morning", "Electric", "Garden", "Winter", "Song",   "Dance"};
// Japanese, Cyrillic, accented Latin, emoji (a UTF-16 surrogate pair),
// Greek and Hebrew.
const char* const kNonLatin[] = {"夜に駆ける",     "Кино — Группа крови", "Café déjà vu",
                                 "Happy 🎵 Song 🎸", "Ελληνικά τραγούδια",  "שיר אהבה"};
const char* const kShows[] = {"The Daily Byte", "Радио Подкаст", "History Hour"};

// Track `i`: music, or the podcast episode `episode` when that is >= 0.
Itdb_Track* NewTrack(const Options& o, int i, int episode) {
  const std::string n = std::to_string(i + 1);
  std::string title = std::string(kWords[i % 12]) + " " + kWords[(i * 7 + 3) % 12] + " " + n,
              artist = kArtists[i % 8], genre = kGenres[i % 6],
              album = std::string(kWords[(i / 10) % 12]) + " Sessions Vol. " +
                      std::to_string(i / 10 + 1),
              composer = std::string(kArtists[(i + 3) % 8]) + " & " + kArtists[(i + 5) % 8],
              comment = "Recorded live, take " + std::to_string(i % 7 + 1) + "; remastered 2009";
  if (i % (o.synth ? 5 : 3) == 1) {
    title = std::string(kNonLatin[(i / 3) % 6]) + " " + n;
    artist = kNonLatin[(i / 3 + 2) % 6];
    album = std::string("Альбом ") + kNonLatin[(i / 3 + 1) % 6];
    comment = "コメント: ünïcödé ✓";
  }
  if (episode >= 0) {
    const std::string show = kShows[episode % 3], e = std::to_string(episode + 1);
    title = show + " — Episode " + e;
    artist = show + " Team";
    album = show;  // podcast groups are formed by album
    genre = "Podcast";
    comment = "Episode notes " + e;
  }
  Itdb_Track* t = itdb_track_new();
  const std::string* texts[] = {&title, &artist, &album, &genre, &composer, &comment};
  gchar** fields[] = {&t->title, &t->artist, &t->album, &t->genre, &t->composer, &t->comment};
  for (size_t k = 0; k < 6; ++k) *fields[k] = g_strdup(texts[k]->c_str());
  // Seven text objects for the benchmark: no file type text there.
  if (!o.synth || episode >= 0) t->filetype = g_strdup("MPEG audio file");
  char path[64];
  std::snprintf(path, sizeof path, ":iPod_Control:Music:F%02d:%c%05d.mp3", i % 20,
                episode < 0 ? 'T' : 'P', i + 1);
  t->ipod_path = g_strdup(path);
  t->id = static_cast<guint32>(i + 1);
  t->dbid = t->dbid2 =
      0x7EA0000000000000ULL ^ (static_cast<guint64>(i + 1) * 0x9E3779B97F4A7C15ULL);
  t->tracklen = 150000 + (i * 7919) % 240000;
  t->bitrate = (i % 4 == 0) ? 320 : 192;
  t->size = static_cast<guint32>(static_cast<guint64>(t->tracklen) *
                                 static_cast<guint32>(t->bitrate) / 8);
  t->samplerate = 44100;
  t->samplerate2 = 44100.0f;
  t->year = 1960 + i % 50;
  t->track_nr = i % 12 + 1;
  t->tracks = 12;
  t->cd_nr = t->cds = 1;
  t->rating = static_cast<guint32>((i % 6) * ITDB_RATING_STEP);
  t->playcount = static_cast<guint32>(i % 5);
  t->time_added = kBaseTime + i * 60;
  t->time_modified = kBaseTime + i * 60 + 30;
  t->time_played = (i % 5) ? kBaseTime + 86400 + i : 0;
  t->mediatype = ITDB_MEDIATYPE_AUDIO;
  t->type2 = 1;
  t->unk144 = 0x000c;
  t->filetype_marker = 0x4d503320;  // "MP3 "
  t->visible = 1;
  t->transferred = TRUE;
  t->mark_unplayed = 1;
  if (episode >= 0) {
    const std::string e = std::to_string(episode + 1),
                      url = "http://podcasts.example.com/show" + std::to_string(episode % 3);
    t->mediatype = ITDB_MEDIATYPE_PODCAST;
    t->flag4 = t->skip_when_shuffling = t->remember_playback_position = 1;
    t->mark_unplayed = 2;
    t->time_released = kBaseTime + episode * 86400;
    t->category = g_strdup("Technology");
    t->description = g_strdup(("Show notes for episode " + e).c_str());
    t->podcastrss = g_strdup((url + "/feed.xml").c_str());
    t->podcasturl = g_strdup((url + "/ep" + e + ".mp3").c_str());
  }
  return t;
}

// Tracks are prepended (appending walks the whole list) and the lists
// reversed once; the playlists other than the master keep the reversed
// order, so they have an order of their own.
int CmdMake(const Options& o) {
  Itdb_iTunesDB* itdb = NewDatabase(o);
  Itdb_Playlist* mpl = AddPlaylist(itdb, "iPod", 0);
  itdb_playlist_set_mpl(mpl);
  std::vector<Itdb_Playlist*> lists;
  for (int p = 1; p <= o.playlists; ++p) {
    const std::string n = std::to_string(p);
    const bool cyrillic = !o.synth && p % 2 == 0;
    lists.push_back(AddPlaylist(
        itdb, cyrillic ? "Плейлист " + n + " お気に入り" : (o.synth ? "Mix " : "Playlist ") + n,
        p));
  }
  Itdb_Playlist* pod = AddPlaylist(itdb, "Podcasts", 800);
  itdb_playlist_set_podcasts(pod);
  const int episodes = o.synth ? std::min(5, o.tracks) : o.tracks > 0 ? 6 : 0;
  const int music = o.synth ? o.tracks - episodes : o.tracks;
  for (int i = 0; i < music + episodes; ++i) {
    Itdb_Track* t = NewTrack(o, i, i < music ? -1 : i - music);
    itdb_track_add(itdb, t, 0);
    itdb_playlist_add_track(mpl, t, 0);
    if (i >= music)
      itdb_playlist_add_track(pod, t, 0);
    else if (!lists.empty() && i % 4 != 3)
      itdb_playlist_add_track(lists[static_cast<size_t>(i) % lists.size()], t, 0);
  }
  itdb->tracks = g_list_reverse(itdb->tracks);
  mpl->members = g_list_reverse(mpl->members);
  pod->members = g_list_reverse(pod->members);
  if (!o.synth) AddSmartPlaylists(itdb);
  for (GList* l = o.image.empty() ? nullptr : itdb->tracks; l; l = l->next)
    if (!itdb_track_set_thumbnails(static_cast<Itdb_Track*>(l->data), o.image.c_str()))
      Fail("libgpod cannot take " + o.image + " as a cover");
  Write(itdb);
  itdb_free(itdb);
  return 0;
}

std::string Hex64(guint64 v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%016" PRIx64, static_cast<uint64_t>(v));
  return buf;
}
json Str(const gchar* s) { return s ? json(std::string(s)) : json(nullptr); }

// The dump names libgpod's fields as libgpod does.
#define DUMP(f) j[#f] = t->f
#define DUMP_STR(f) j[#f] = Str(t->f)
#define DUMP_TIME(f) j[#f] = static_cast<int64_t>(t->f)

json TrackJson(const Itdb_Track* t) {
  json j = {{"id", t->id}, {"dbid", Hex64(t->dbid)}, {"dbid2", Hex64(t->dbid2)}, {"bpm", t->BPM}};
  j["has_thumbnails"] = static_cast<bool>(itdb_track_has_thumbnails(const_cast<Itdb_Track*>(t)));
  DUMP(mhii_link);
  // clang-format off
  DUMP_STR(title); DUMP_STR(artist); DUMP_STR(album); DUMP_STR(genre); DUMP_STR(composer);
  DUMP_STR(comment); DUMP_STR(filetype); DUMP_STR(ipod_path); DUMP_STR(category);
  DUMP_STR(description); DUMP_STR(podcasturl); DUMP_STR(podcastrss); DUMP_STR(albumartist);
  DUMP_STR(grouping); DUMP_STR(subtitle); DUMP_STR(keywords); DUMP_STR(tvshow); DUMP_STR(tvepisode);
  DUMP_STR(tvnetwork); DUMP_STR(sort_artist); DUMP_STR(sort_title); DUMP_STR(sort_album);
  DUMP_STR(sort_albumartist); DUMP_STR(sort_composer); DUMP_STR(sort_tvshow);
  DUMP(size); DUMP(tracklen); DUMP(bitrate); DUMP(samplerate); DUMP(year); DUMP(track_nr);
  DUMP(tracks); DUMP(cd_nr); DUMP(cds); DUMP(rating); DUMP(playcount); DUMP(mediatype); DUMP(type1);
  DUMP(type2); DUMP(compilation); DUMP(visible); DUMP(filetype_marker); DUMP(mark_unplayed);
  DUMP(flag4); DUMP(skip_when_shuffling); DUMP(remember_playback_position); DUMP(volume);
  DUMP(soundcheck); DUMP(starttime); DUMP(stoptime); DUMP(bookmark_time); DUMP(playcount2);
  DUMP(app_rating); DUMP(checked); DUMP(drm_userid); DUMP(unk144); DUMP(explicit_flag);
  DUMP(skipcount); DUMP(has_artwork); DUMP(artwork_count); DUMP(lyrics_flag); DUMP(movie_flag);
  DUMP(season_nr); DUMP(episode_nr); DUMP(pregap); DUMP(postgap); DUMP(samplecount);
  DUMP(gapless_data); DUMP(gapless_track_flag); DUMP(gapless_album_flag); DUMP_TIME(time_added);
  DUMP_TIME(time_modified); DUMP_TIME(time_played); DUMP_TIME(time_released);
  DUMP_TIME(last_skipped);
  // clang-format on
  return j;
}

json PlaylistJson(Itdb_Playlist* t) {
  json j;
  j["id"] = Hex64(t->id);
  j["is_master"] = static_cast<bool>(itdb_playlist_is_mpl(t));
  j["is_podcasts"] = static_cast<bool>(itdb_playlist_is_podcasts(t));
  j["is_smart"] = static_cast<bool>(t->is_spl);
  // clang-format off
  DUMP_STR(name); DUMP(type); DUMP(podcastflag); DUMP(sortorder); DUMP_TIME(timestamp);
  // clang-format on
  json items = json::array();
  for (GList* m = t->members; m; m = m->next)
    items.push_back(static_cast<Itdb_Track*>(m->data)->id);
  j["count"] = items.size();
  j["items"] = std::move(items);
  if (!t->is_spl) return j;
  const Itdb_SPLPref& p = t->splpref;
  j["splpref"] = {p.liveupdate, p.checkrules, p.checklimits,     p.limittype,
                  p.limitsort,  p.limitvalue, p.matchcheckedonly};
  j["match_operator"] = t->splrules.match_operator;
  j["rules"] = json::array();
  for (GList* r = t->splrules.rules; r; r = r->next) {
    auto* u = static_cast<const Itdb_SPLRule*>(r->data);
    j["rules"].push_back({u->field, u->action, Str(u->string), u->fromvalue, u->fromdate,
                          u->fromunits, u->tovalue, u->todate, u->tounits});
  }
  return j;
}

// A device folder, or a database file given directly.
Itdb_iTunesDB* Parse(const std::string& path) {
  GError* error = nullptr;
  Itdb_iTunesDB* itdb = fs::is_directory(path) ? itdb_parse(path.c_str(), &error)
                                               : itdb_parse_file(path.c_str(), &error);
  if (!itdb) Fail("cannot parse " + path + ": " + (error ? error->message : "unknown error"));
  return itdb;
}

int CmdDump(const std::string& path) {
  Itdb_iTunesDB* itdb = Parse(path);
  json out = {{"version", itdb->version},
              {"id", Hex64(itdb->id)},
              {"track_count", itdb_tracks_number(itdb)},
              {"playlist_count", itdb_playlists_number(itdb)},
              {"tracks", json::array()},
              {"playlists", json::array()}};
  for (GList* l = itdb->tracks; l; l = l->next)
    out["tracks"].push_back(TrackJson(static_cast<Itdb_Track*>(l->data)));
  for (GList* l = itdb->playlists; l; l = l->next)
    out["playlists"].push_back(PlaylistJson(static_cast<Itdb_Playlist*>(l->data)));
  itdb_free(itdb);
  std::cout << out.dump(1, ' ', false, json::error_handler_t::replace) << "\n";
  return 0;
}

// Writes a pixbuf's colours (8-bit samples, any alpha dropped) as a binary
// PPM, row by row as its rowstride says.
void WritePpm(GdkPixbuf* pixbuf, const fs::path& path) {
  const int width = gdk_pixbuf_get_width(pixbuf), height = gdk_pixbuf_get_height(pixbuf);
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  if (gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 || channels < 3)
    Fail("libgpod made a pixbuf that is not 8-bit RGB");
  const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
  const size_t stride = static_cast<size_t>(gdk_pixbuf_get_rowstride(pixbuf));
  std::string ppm = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  for (size_t y = 0; y < static_cast<size_t>(height); ++y)
    for (size_t x = 0; x < static_cast<size_t>(width); ++x)
      ppm.append(reinterpret_cast<const char*>(pixels + y * stride + x * channels), 3);
  std::ofstream out(path, std::ios::binary);
  if (!out.write(ppm.data(), static_cast<std::streamsize>(ppm.size())))
    Fail("cannot write " + path.string());
}

// Every track's artwork fields and the pictures libgpod makes of its
// thumbnails (one a format of the device), saved as OUTDIR/<id>_<n>.ppm.
int CmdThumbs(const std::string& dir, const std::string& out_dir) {
  std::error_code ec;
  fs::create_directories(out_dir, ec);
  if (ec) Fail("cannot create " + out_dir);
  Itdb_iTunesDB* itdb = Parse(dir);
  json out = json::array();
  for (GList* l = itdb->tracks; l; l = l->next) {
    auto* t = static_cast<Itdb_Track*>(l->data);
    json j = {{"id", t->id}, {"dbid", Hex64(t->dbid)}};
    j["has_thumbnails"] = static_cast<bool>(itdb_track_has_thumbnails(t));
    DUMP(mhii_link);
    DUMP(artwork_count);
    DUMP(artwork_size);
    j["thumbs"] = json::array();
    GList* pixbufs = t->artwork && t->artwork->thumbnail
                         ? itdb_thumb_to_pixbufs(itdb->device, t->artwork->thumbnail)
                         : nullptr;
    int n = 0;
    for (GList* p = pixbufs; p; p = p->next, ++n) {
      auto* pixbuf = static_cast<GdkPixbuf*>(p->data);
      const fs::path file =
          fs::path(out_dir) / (std::to_string(t->id) + "_" + std::to_string(n) + ".ppm");
      WritePpm(pixbuf, file);
      j["thumbs"].push_back({{"width", gdk_pixbuf_get_width(pixbuf)},
                             {"height", gdk_pixbuf_get_height(pixbuf)},
                             {"file", file.string()}});
    }
    g_list_free_full(pixbufs, g_object_unref);
    out.push_back(std::move(j));
  }
  itdb_free(itdb);
  std::cout << out.dump(1) << "\n";
  return 0;
}

// A line of /proc/self/status ("VmRSS", "VmHWM") in KiB, or -1.
long StatusKiB(const std::string& key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + ":", 0) == 0)
      return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
  return -1;
}

// Times a parse (with the resident size before and the peak after it) and,
// for `bench`, a write of what was parsed.
int CmdTime(const std::string& dir, bool write) {
  using Clock = std::chrono::steady_clock;
  auto since = [](Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
  };
  const long rss_before = StatusKiB("VmRSS");
  const auto t0 = Clock::now();
  Itdb_iTunesDB* itdb = Parse(dir);
  json out = {{"parse_s", since(t0)},
              {"tracks", itdb_tracks_number(itdb)},
              {"rss_before_kb", rss_before},
              {"hwm_kb", StatusKiB("VmHWM")}};
  if (write) {
    const auto t1 = Clock::now();
    Write(itdb);
    out["write_s"] = since(t1);
  }
  itdb_free(itdb);
  std::cout << out.dump() << "\n";
  return 0;
}

// Reads a device's database and writes it again, or writes its iTunesSD.
int CmdRewrite(const std::string& dir, bool shuffle) {
  Itdb_iTunesDB* itdb = Parse(dir);
  GError* error = nullptr;
  if (shuffle ? !itdb_shuffle_write(itdb, &error) : !itdb_write(itdb, &error))
    Fail(std::string(shuffle ? "itdb_shuffle_write" : "itdb_write") +
         " failed: " + (error ? error->message : "unknown error"));
  itdb_free(itdb);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // libgpod draws the ids it makes up itself (album items, the database's
  // persistent id) from glib's generator: a fixed seed repeats them.
  g_random_set_seed(0x4341445Au);
  const std::string cmd = argc >= 3 ? argv[1] : "";
  if (cmd == "make" || cmd == "synth") return CmdMake(ParseOptions(argc, argv, cmd == "synth"));
  if (cmd == "art" && argc >= 4) {
    Options o = ParseOptions(argc, argv, false, 4);
    o.image = argv[3];
    return CmdMake(o);
  }
  if (cmd == "dump" && argc == 3) return CmdDump(argv[2]);
  if (cmd == "thumbs" && argc == 4) return CmdThumbs(argv[2], argv[3]);
  if ((cmd == "bench" || cmd == "parse") && argc == 3) return CmdTime(argv[2], cmd == "bench");
  if ((cmd == "rewrite" || cmd == "shuffle") && argc == 3)
    return CmdRewrite(argv[2], cmd == "shuffle");
  std::fprintf(stderr,
               "usage: gpod_oracle make|synth DIR [options] | art DIR IMAGE [options] |"
               " dump PATH | thumbs DIR OUTDIR | bench DIR | parse DIR | rewrite DIR |"
               " shuffle DIR\n");
  return 2;
}
