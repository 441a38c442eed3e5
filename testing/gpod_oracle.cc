// gpod_oracle: writes, reads and times iTunesDB files with libgpod, an
// independent implementation of the device database format.  Tests use it
// to produce reference databases and to check that our own files parse;
// benchmarks use it as a peer.  It is a test tool only and never part of
// the product.
//
//   gpod_oracle make DIR [--tracks N] [--playlists P] [--podcasts] [--smart]
//                        [--nonlatin] [--model MODEL] [--as NAME]
//   gpod_oracle synth DIR --tracks N [--model MODEL] [--as NAME]
//   gpod_oracle dump PATH          (device folder or database file)
//   gpod_oracle bench DIR
//   gpod_oracle parse DIR          (times itdb_parse alone, with memory use)
//
// Every generated value (ids, database ids, time stamps, tags) comes from
// the track index, so two runs with the same arguments write the same bytes.

#include <gpod/itdb.h>
#include <sys/stat.h>

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
constexpr guint64 kDatabaseId = 0x43414445'4E5A4131ULL;
constexpr const char* kDefaultModel = "xA147";  // iPod Video 5G, 60 GB
// libgpod needs a FireWire id to sign the database of the models that check
// a hash (Classic, Nano 3G and later); older models ignore the line.
constexpr const char* kFirewireGuid = "0x000A27001A2B3C4D";

struct Options {
  std::string dir;
  int tracks = 10;
  int playlists = 2;
  bool podcasts = false;
  bool smart = false;
  bool nonlatin = false;
  std::string model = kDefaultModel;
  std::string copy_as;
};

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "gpod_oracle: %s\n", message.c_str());
  std::exit(1);
}

void Usage() {
  std::fprintf(stderr,
               "usage:\n"
               "  gpod_oracle make DIR [--tracks N] [--playlists P] [--podcasts] [--smart]\n"
               "                       [--nonlatin] [--model MODEL] [--as NAME]\n"
               "  gpod_oracle synth DIR --tracks N [--model MODEL] [--as NAME]\n"
               "  gpod_oracle dump PATH\n"
               "  gpod_oracle bench DIR\n"
               "  gpod_oracle parse DIR\n");
  std::exit(2);
}

int ParseCount(const char* text, const char* what) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 1000000)
    Fail(std::string("bad value for ") + what + ": " + text);
  return static_cast<int>(v);
}

Options ParseOptions(int argc, char** argv) {
  if (argc < 3) Usage();
  Options o;
  o.dir = argv[2];
  for (int i = 3; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Fail("missing value after " + a);
      return argv[++i];
    };
    if (a == "--tracks") {
      o.tracks = ParseCount(value(), "--tracks");
    } else if (a == "--playlists") {
      o.playlists = ParseCount(value(), "--playlists");
    } else if (a == "--podcasts") {
      o.podcasts = true;
    } else if (a == "--smart") {
      o.smart = true;
    } else if (a == "--nonlatin") {
      o.nonlatin = true;
    } else if (a == "--model") {
      o.model = value();
    } else if (a == "--as") {
      o.copy_as = value();
      if (o.copy_as.empty() || o.copy_as.find('/') != std::string::npos)
        Fail("--as takes a plain file name");
    } else {
      Fail("unknown option " + a);
    }
  }
  return o;
}

std::string GErrorText(GError* error) {
  std::string s = error && error->message ? error->message : "unknown error";
  if (error) g_error_free(error);
  return s;
}

// Creates the folders of a device and a SysInfo naming the model, so that
// libgpod picks the database version and header sizes of that model.
void PrepareDevice(const Options& o) {
  fs::path root = o.dir;
  std::error_code ec;
  fs::create_directories(root / "iPod_Control" / "iTunes", ec);
  if (ec) Fail("cannot create " + (root / "iPod_Control" / "iTunes").string() + ": " + ec.message());
  fs::create_directories(root / "iPod_Control" / "Device", ec);
  for (int d = 0; d < 20 && !ec; ++d) {
    char name[16];
    std::snprintf(name, sizeof name, "F%02d", d);
    fs::create_directories(root / "iPod_Control" / "Music" / name, ec);
  }
  if (ec) Fail("cannot create the device folders below " + o.dir + ": " + ec.message());
  std::ofstream sysinfo(root / "iPod_Control" / "Device" / "SysInfo", std::ios::trunc);
  sysinfo << "ModelNumStr: " << o.model << "\n"
          << "FirewireGuid: " << kFirewireGuid << "\n";
  if (!sysinfo) Fail("cannot write SysInfo below " + o.dir);
}

Itdb_iTunesDB* NewDatabase(const Options& o) {
  Itdb_iTunesDB* itdb = itdb_new();
  itdb_set_mountpoint(itdb, o.dir.c_str());
  const Itdb_IpodInfo* info = itdb_device_get_ipod_info(itdb->device);
  if (!info || info->ipod_model == ITDB_IPOD_MODEL_INVALID ||
      info->ipod_model == ITDB_IPOD_MODEL_UNKNOWN)
    Fail("libgpod does not know the model " + o.model);
  itdb->id = kDatabaseId;
  itdb->tzoffset = 0;
  return itdb;
}

Itdb_Playlist* AddPlaylist(Itdb_iTunesDB* itdb, const std::string& name, bool smart,
                           guint64 id) {
  Itdb_Playlist* pl = itdb_playlist_new(name.c_str(), smart ? TRUE : FALSE);
  pl->id = id;
  pl->timestamp = kBaseTime + static_cast<time_t>(id & 0xFFFF);
  if (smart) {
    // A new smart playlist comes with a default rule ("artist contains
    // nothing"); the callers set their own rules and limits.
    while (pl->splrules.rules)
      itdb_splr_remove(pl, static_cast<Itdb_SPLRule*>(pl->splrules.rules->data));
    pl->splpref = Itdb_SPLPref{};
    pl->splpref.liveupdate = 1;
    pl->splpref.checkrules = 1;
    pl->splpref.limittype = ITDB_LIMITTYPE_SONGS;
    pl->splpref.limitsort = ITDB_LIMITSORT_RANDOM;
    pl->splpref.limitvalue = 25;
  }
  itdb_playlist_add(itdb, pl, -1);
  return pl;
}

guint64 PlaylistId(int n) { return 0x504C000000000000ULL + static_cast<guint64>(n) * 0x1000193ULL; }

// Appending to a GList walks the whole list, so large lists are built by
// prepending and reversed once at the end (see FinishLists).
void AddMember(Itdb_Playlist* pl, Itdb_Track* t) { itdb_playlist_add_track(pl, t, 0); }

void FinishLists(Itdb_iTunesDB* itdb) {
  itdb->tracks = g_list_reverse(itdb->tracks);
  for (GList* l = itdb->playlists; l; l = l->next) {
    auto* pl = static_cast<Itdb_Playlist*>(l->data);
    if (!pl->is_spl) pl->members = g_list_reverse(pl->members);
  }
}

struct TrackText {
  std::string title, artist, album, genre, composer, comment;
};

const char* const kArtists[] = {"The Beatles", "Miles Davis", "Radiohead", "Nina Simone",
                                "Daft Punk", "Johann Sebastian Bach", "Fleetwood Mac",
                                "Kraftwerk", "Aretha Franklin", "Sigur Rós"};
const char* const kGenres[] = {"Rock", "Jazz", "Alternative", "Soul", "Electronic",
                               "Classical", "Pop", "Ambient"};
const char* const kWords[] = {"Blue", "Night", "River", "Paper", "Golden", "Silent",
                              "Morning", "Electric", "Garden", "Winter", "Song", "Dance",
                              "Light", "Heart", "Road", "Dream"};
// Texts outside Latin-1: Japanese, Cyrillic, accented Latin, emoji (which
// needs a UTF-16 surrogate pair in the file), Greek and Hebrew.
const char* const kNonLatinTitles[] = {"夜に駆ける", "Кино — Группа крови", "Café déjà vu",
                                       "Happy 🎵 Song 🎸", "Ελληνικά τραγούδια", "שיר אהבה"};
const char* const kNonLatinArtists[] = {"YOASOBI", "Виктор Цой", "Édith Piaf",
                                        "🎹 Pianist", "Μίκης Θεοδωράκης", "עידן רייכל"};

TrackText MakeText(int i, bool nonlatin) {
  TrackText t;
  const char* w1 = kWords[i % 16];
  const char* w2 = kWords[(i * 7 + 3) % 16];
  t.title = std::string(w1) + " " + w2 + " " + std::to_string(i + 1);
  t.artist = kArtists[i % 10];
  t.album = std::string(kWords[(i / 10) % 16]) + " Sessions Vol. " + std::to_string(i / 10 + 1);
  t.genre = kGenres[i % 8];
  t.composer = std::string(kArtists[(i + 3) % 10]) + " & " + kArtists[(i + 5) % 10];
  t.comment = "Recorded live, take " + std::to_string(i % 7 + 1) + "; remastered 2009";
  if (nonlatin && i % 3 == 1) {
    int k = (i / 3) % 6;
    t.title = std::string(kNonLatinTitles[k]) + " " + std::to_string(i + 1);
    t.artist = kNonLatinArtists[k];
    t.album = std::string("Альбом ") + kNonLatinTitles[(k + 1) % 6];
    t.comment = "コメント: ünïcödé ✓";
  }
  return t;
}

guint64 TrackDbid(int i) {
  return 0x7EA0000000000000ULL ^ (static_cast<guint64>(i + 1) * 0x9E3779B97F4A7C15ULL);
}

// Sets every field of a music track from its index, without adding it.
Itdb_Track* NewMusicTrack(int i, const TrackText& text) {
  Itdb_Track* t = itdb_track_new();
  t->title = g_strdup(text.title.c_str());
  t->artist = g_strdup(text.artist.c_str());
  t->album = g_strdup(text.album.c_str());
  t->genre = g_strdup(text.genre.c_str());
  t->composer = g_strdup(text.composer.c_str());
  t->comment = g_strdup(text.comment.c_str());
  t->filetype = g_strdup("MPEG audio file");
  char path[64];
  std::snprintf(path, sizeof path, ":iPod_Control:Music:F%02d:T%05d.mp3", i % 20, i + 1);
  t->ipod_path = g_strdup(path);
  t->id = static_cast<guint32>(i + 1);
  t->dbid = TrackDbid(i);
  t->dbid2 = t->dbid;
  t->tracklen = 150000 + (i * 7919) % 240000;
  t->bitrate = (i % 4 == 0) ? 320 : 192;
  t->size = static_cast<guint32>(static_cast<guint64>(t->tracklen) * static_cast<guint32>(t->bitrate) / 8);
  t->samplerate = 44100;
  t->samplerate2 = 44100.0f;
  t->year = 1960 + i % 50;
  t->track_nr = i % 12 + 1;
  t->tracks = 12;
  t->cd_nr = 1;
  t->cds = 1;
  t->rating = static_cast<guint32>((i % 6) * ITDB_RATING_STEP);
  t->playcount = static_cast<guint32>(i % 5);
  t->time_added = kBaseTime + i * 60;
  t->time_modified = kBaseTime + i * 60 + 30;
  t->time_played = (i % 5) ? kBaseTime + 86400 + i : 0;
  t->mediatype = ITDB_MEDIATYPE_AUDIO;
  t->type1 = 0;
  t->type2 = 1;
  t->unk144 = 0x000c;
  t->filetype_marker = 0x4d503320;  // "MP3 "
  t->visible = 1;
  t->transferred = TRUE;
  t->mark_unplayed = 1;
  return t;
}

const char* const kShows[] = {"The Daily Byte", "Радио Подкаст", "History Hour"};

Itdb_Track* NewPodcastTrack(int i, int episode) {
  TrackText text = MakeText(i, false);
  const char* show = kShows[episode % 3];
  text.title = std::string(show) + " — Episode " + std::to_string(episode + 1);
  text.artist = std::string(show) + " Team";
  text.album = show;  // podcast groups are formed by album
  text.genre = "Podcast";
  text.comment = "Episode notes " + std::to_string(episode + 1);
  Itdb_Track* t = NewMusicTrack(i, text);
  g_free(t->ipod_path);
  char path[64];
  std::snprintf(path, sizeof path, ":iPod_Control:Music:F%02d:P%05d.mp3", i % 20, i + 1);
  t->ipod_path = g_strdup(path);
  t->mediatype = ITDB_MEDIATYPE_PODCAST;
  t->flag4 = 1;
  t->skip_when_shuffling = 1;
  t->remember_playback_position = 1;
  t->mark_unplayed = 2;
  t->time_released = kBaseTime + episode * 86400;
  t->category = g_strdup("Technology");
  t->description = g_strdup(("Show notes for episode " + std::to_string(episode + 1)).c_str());
  std::string url = "http://podcasts.example.com/show" + std::to_string(episode % 3);
  t->podcastrss = g_strdup((url + "/feed.xml").c_str());
  t->podcasturl = g_strdup((url + "/ep" + std::to_string(episode + 1) + ".mp3").c_str());
  return t;
}

void AddSmartPlaylists(Itdb_iTunesDB* itdb) {
  // Year in 1970..1989, live updating, limited to 25 songs by title.
  Itdb_Playlist* a = AddPlaylist(itdb, "Seventies and Eighties", true, PlaylistId(900));
  a->splpref.liveupdate = 1;
  a->splpref.checkrules = 1;
  a->splpref.checklimits = 1;
  a->splpref.limittype = ITDB_LIMITTYPE_SONGS;
  a->splpref.limitsort = ITDB_LIMITSORT_SONG_NAME;
  a->splpref.limitvalue = 25;
  a->splrules.match_operator = ITDB_SPLMATCH_AND;
  Itdb_SPLRule* r = itdb_splr_add_new(a, -1);
  r->field = ITDB_SPLFIELD_YEAR;
  r->action = ITDB_SPLACTION_IS_IN_THE_RANGE;
  r->fromvalue = 1970;
  r->fromunits = 1;
  r->tovalue = 1989;
  r->tounits = 1;

  // Artist contains "Davis" or genre is "Jazz".
  Itdb_Playlist* b = AddPlaylist(itdb, "Jazz Picks", true, PlaylistId(901));
  b->splpref.liveupdate = 1;
  b->splpref.checkrules = 1;
  b->splrules.match_operator = ITDB_SPLMATCH_OR;
  r = itdb_splr_add_new(b, -1);
  r->field = ITDB_SPLFIELD_ARTIST;
  r->action = ITDB_SPLACTION_CONTAINS;
  g_free(r->string);
  r->string = g_strdup("Davis");
  r = itdb_splr_add_new(b, -1);
  r->field = ITDB_SPLFIELD_GENRE;
  r->action = ITDB_SPLACTION_IS_STRING;
  g_free(r->string);
  r->string = g_strdup("Jazz");

  // Rating of at least 3 stars.
  Itdb_Playlist* c = AddPlaylist(itdb, "Top Rated", true, PlaylistId(902));
  c->splpref.liveupdate = 1;
  c->splpref.checkrules = 1;
  r = itdb_splr_add_new(c, -1);
  r->field = ITDB_SPLFIELD_RATING;
  r->action = ITDB_SPLACTION_IS_GREATER_THAN;
  r->fromvalue = 2 * ITDB_RATING_STEP;
  r->fromunits = 1;
  r->tovalue = 2 * ITDB_RATING_STEP;
  r->tounits = 1;
  itdb_spl_update_all(itdb);
}

void WriteDatabase(Itdb_iTunesDB* itdb, const Options& o) {
  GError* error = nullptr;
  if (!itdb_write(itdb, &error)) Fail("itdb_write failed: " + GErrorText(error));
  if (!o.copy_as.empty()) {
    fs::path dir = fs::path(o.dir) / "iPod_Control" / "iTunes";
    std::error_code ec;
    fs::copy_file(dir / "iTunesDB", dir / o.copy_as, fs::copy_options::overwrite_existing, ec);
    if (ec) Fail("cannot copy the database to " + o.copy_as + ": " + ec.message());
  }
}

int CmdMake(const Options& o) {
  PrepareDevice(o);
  Itdb_iTunesDB* itdb = NewDatabase(o);
  Itdb_Playlist* mpl = AddPlaylist(itdb, "iPod", false, PlaylistId(0));
  itdb_playlist_set_mpl(mpl);

  std::vector<Itdb_Track*> music;
  for (int i = 0; i < o.tracks; ++i) {
    Itdb_Track* t = NewMusicTrack(i, MakeText(i, o.nonlatin));
    itdb_track_add(itdb, t, 0);
    AddMember(mpl, t);
    music.push_back(t);
  }
  for (int p = 0; p < o.playlists; ++p) {
    std::string name = "Playlist " + std::to_string(p + 1);
    if (o.nonlatin && p % 2 == 1) name = "Плейлист " + std::to_string(p + 1) + " お気に入り";
    Itdb_Playlist* pl = AddPlaylist(itdb, name, false, PlaylistId(p + 1));
    // A stride through the tracks, so each playlist has its own order.
    int n = static_cast<int>(music.size());
    int want = n == 0 ? 0 : 3 + (p * 5) % std::max(1, std::min(n, 12));
    std::vector<bool> used(static_cast<size_t>(n), false);
    for (int k = 0, added = 0; added < want && added < n; ++k) {
      auto idx = static_cast<size_t>((p * 3 + k * (p + 2)) % n);
      while (used[idx]) idx = (idx + 1) % static_cast<size_t>(n);
      used[idx] = true;
      AddMember(pl, music[idx]);
      ++added;
    }
  }
  if (o.podcasts) {
    Itdb_Playlist* pod = AddPlaylist(itdb, "Podcasts", false, PlaylistId(800));
    itdb_playlist_set_podcasts(pod);
    for (int e = 0; e < 6; ++e) {
      Itdb_Track* t = NewPodcastTrack(o.tracks + e, e);
      itdb_track_add(itdb, t, 0);
      AddMember(mpl, t);
      AddMember(pod, t);
    }
  }
  FinishLists(itdb);
  if (o.smart) AddSmartPlaylists(itdb);
  WriteDatabase(itdb, o);
  itdb_free(itdb);
  return 0;
}

// Pads a text to a realistic length with a deterministic filler.
std::string Sized(std::string s, size_t len) {
  static const char* kFill = " lorem ipsum dolor sit amet consectetur";
  while (s.size() < len) s += kFill[(s.size() * 7) % std::strlen(kFill)];
  return s;
}

int CmdSynth(const Options& o) {
  PrepareDevice(o);
  Itdb_iTunesDB* itdb = NewDatabase(o);
  Itdb_Playlist* mpl = AddPlaylist(itdb, "iPod", false, PlaylistId(0));
  itdb_playlist_set_mpl(mpl);
  std::vector<Itdb_Playlist*> lists;
  for (int p = 1; p < 20; ++p)
    lists.push_back(AddPlaylist(itdb, "Mix " + std::to_string(p), false, PlaylistId(p)));
  Itdb_Playlist* pod = AddPlaylist(itdb, "Podcasts", false, PlaylistId(800));
  itdb_playlist_set_podcasts(pod);

  const int podcasts = o.tracks >= 20 ? 5 : 0;
  for (int i = 0; i < o.tracks; ++i) {
    bool is_podcast = i >= o.tracks - podcasts;
    Itdb_Track* t;
    if (is_podcast) {
      t = NewPodcastTrack(i, i - (o.tracks - podcasts));
    } else {
      TrackText text = MakeText(i, i % 5 == 2);
      text.title = Sized(text.title, 12 + i % 24);
      text.album = Sized(text.album, 14 + (i / 10) % 20);  // ten tracks per album
      text.composer = Sized(text.composer, 20 + i % 16);
      text.comment = Sized(text.comment, 24 + i % 40);
      t = NewMusicTrack(i, text);
      // Seven string objects: title, location, album, artist, genre,
      // comment, composer.
      g_free(t->filetype);
      t->filetype = nullptr;
    }
    itdb_track_add(itdb, t, 0);
    AddMember(mpl, t);
    if (is_podcast) {
      AddMember(pod, t);
    } else if (i % 4 != 3) {  // three quarters of the tracks sit in a mix
      AddMember(lists[static_cast<size_t>(i % 19)], t);
    }
  }
  FinishLists(itdb);
  WriteDatabase(itdb, o);
  itdb_free(itdb);
  return 0;
}

std::string Hex64(guint64 v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%016" PRIx64, static_cast<uint64_t>(v));
  return buf;
}

json Str(const gchar* s) { return s ? json(std::string(s)) : json(nullptr); }

json TrackJson(const Itdb_Track* t) {
  json j;
  j["id"] = t->id;
  j["dbid"] = Hex64(t->dbid);
  j["title"] = Str(t->title);
  j["artist"] = Str(t->artist);
  j["album"] = Str(t->album);
  j["genre"] = Str(t->genre);
  j["composer"] = Str(t->composer);
  j["comment"] = Str(t->comment);
  j["filetype"] = Str(t->filetype);
  j["ipod_path"] = Str(t->ipod_path);
  j["category"] = Str(t->category);
  j["description"] = Str(t->description);
  j["podcasturl"] = Str(t->podcasturl);
  j["podcastrss"] = Str(t->podcastrss);
  j["albumartist"] = Str(t->albumartist);
  j["grouping"] = Str(t->grouping);
  j["subtitle"] = Str(t->subtitle);
  j["keywords"] = Str(t->keywords);
  j["tvshow"] = Str(t->tvshow);
  j["tvepisode"] = Str(t->tvepisode);
  j["tvnetwork"] = Str(t->tvnetwork);
  j["sort_artist"] = Str(t->sort_artist);
  j["sort_title"] = Str(t->sort_title);
  j["sort_album"] = Str(t->sort_album);
  j["sort_albumartist"] = Str(t->sort_albumartist);
  j["sort_composer"] = Str(t->sort_composer);
  j["sort_tvshow"] = Str(t->sort_tvshow);
  j["dbid2"] = Hex64(t->dbid2);
  j["size"] = t->size;
  j["tracklen"] = t->tracklen;
  j["bitrate"] = t->bitrate;
  j["samplerate"] = t->samplerate;
  j["year"] = t->year;
  j["track_nr"] = t->track_nr;
  j["tracks"] = t->tracks;
  j["cd_nr"] = t->cd_nr;
  j["cds"] = t->cds;
  j["rating"] = t->rating;
  j["playcount"] = t->playcount;
  j["time_added"] = static_cast<int64_t>(t->time_added);
  j["time_modified"] = static_cast<int64_t>(t->time_modified);
  j["time_played"] = static_cast<int64_t>(t->time_played);
  j["time_released"] = static_cast<int64_t>(t->time_released);
  j["mediatype"] = t->mediatype;
  j["type1"] = t->type1;
  j["type2"] = t->type2;
  j["compilation"] = t->compilation;
  j["visible"] = t->visible;
  j["filetype_marker"] = t->filetype_marker;
  j["mark_unplayed"] = t->mark_unplayed;
  j["flag4"] = t->flag4;
  j["skip_when_shuffling"] = t->skip_when_shuffling;
  j["remember_playback_position"] = t->remember_playback_position;
  j["volume"] = t->volume;
  j["soundcheck"] = t->soundcheck;
  j["starttime"] = t->starttime;
  j["stoptime"] = t->stoptime;
  j["bookmark_time"] = t->bookmark_time;
  j["playcount2"] = t->playcount2;
  j["app_rating"] = t->app_rating;
  j["checked"] = t->checked;
  j["bpm"] = t->BPM;
  j["drm_userid"] = t->drm_userid;
  j["unk144"] = t->unk144;
  j["explicit_flag"] = t->explicit_flag;
  j["skipcount"] = t->skipcount;
  j["last_skipped"] = static_cast<int64_t>(t->last_skipped);
  j["has_artwork"] = t->has_artwork;
  j["artwork_count"] = t->artwork_count;
  j["lyrics_flag"] = t->lyrics_flag;
  j["movie_flag"] = t->movie_flag;
  j["season_nr"] = t->season_nr;
  j["episode_nr"] = t->episode_nr;
  j["pregap"] = t->pregap;
  j["postgap"] = t->postgap;
  j["samplecount"] = t->samplecount;
  j["gapless_data"] = t->gapless_data;
  j["gapless_track_flag"] = t->gapless_track_flag;
  j["gapless_album_flag"] = t->gapless_album_flag;
  return j;
}

json PlaylistJson(const Itdb_Playlist* pl) {
  json j;
  j["name"] = Str(pl->name);
  j["id"] = Hex64(pl->id);
  j["type"] = pl->type;
  j["is_master"] = static_cast<bool>(itdb_playlist_is_mpl(const_cast<Itdb_Playlist*>(pl)));
  j["is_podcasts"] = static_cast<bool>(itdb_playlist_is_podcasts(const_cast<Itdb_Playlist*>(pl)));
  j["podcastflag"] = pl->podcastflag;
  j["is_smart"] = static_cast<bool>(pl->is_spl);
  j["sortorder"] = pl->sortorder;
  j["timestamp"] = static_cast<int64_t>(pl->timestamp);
  json items = json::array();
  for (GList* m = pl->members; m; m = m->next) items.push_back(static_cast<Itdb_Track*>(m->data)->id);
  j["count"] = items.size();
  j["items"] = std::move(items);
  if (pl->is_spl) {
    json pref;
    pref["liveupdate"] = pl->splpref.liveupdate;
    pref["checkrules"] = pl->splpref.checkrules;
    pref["checklimits"] = pl->splpref.checklimits;
    pref["limittype"] = pl->splpref.limittype;
    pref["limitsort"] = pl->splpref.limitsort;
    pref["limitvalue"] = pl->splpref.limitvalue;
    pref["matchcheckedonly"] = pl->splpref.matchcheckedonly;
    j["splpref"] = std::move(pref);
    j["match_operator"] = pl->splrules.match_operator;
    json rules = json::array();
    for (GList* r = pl->splrules.rules; r; r = r->next) {
      auto* rule = static_cast<const Itdb_SPLRule*>(r->data);
      json jr;
      jr["field"] = rule->field;
      jr["action"] = rule->action;
      jr["string"] = Str(rule->string);
      jr["fromvalue"] = rule->fromvalue;
      jr["fromdate"] = rule->fromdate;
      jr["fromunits"] = rule->fromunits;
      jr["tovalue"] = rule->tovalue;
      jr["todate"] = rule->todate;
      jr["tounits"] = rule->tounits;
      rules.push_back(std::move(jr));
    }
    j["rules"] = std::move(rules);
  }
  return j;
}

// Reads a device folder, or a database file given directly (for example a
// database written under another name than iTunesDB).
Itdb_iTunesDB* ParsePath(const std::string& path) {
  GError* error = nullptr;
  Itdb_iTunesDB* itdb = nullptr;
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    itdb = itdb_parse(path.c_str(), &error);
  } else if (fs::is_regular_file(path, ec)) {
    itdb = itdb_parse_file(path.c_str(), &error);
  } else {
    Fail("no such device folder or database file: " + path);
  }
  if (!itdb) Fail("cannot parse " + path + ": " + GErrorText(error));
  if (error) g_error_free(error);
  return itdb;
}

int CmdDump(const std::string& path) {
  Itdb_iTunesDB* itdb = ParsePath(path);
  json out;
  out["version"] = itdb->version;
  out["id"] = Hex64(itdb->id);
  out["track_count"] = itdb_tracks_number(itdb);
  out["playlist_count"] = itdb_playlists_number(itdb);
  json tracks = json::array();
  for (GList* l = itdb->tracks; l; l = l->next) tracks.push_back(TrackJson(static_cast<Itdb_Track*>(l->data)));
  out["tracks"] = std::move(tracks);
  json playlists = json::array();
  for (GList* l = itdb->playlists; l; l = l->next)
    playlists.push_back(PlaylistJson(static_cast<Itdb_Playlist*>(l->data)));
  out["playlists"] = std::move(playlists);
  itdb_free(itdb);
  std::cout << out.dump(1, ' ', false, json::error_handler_t::replace) << "\n";
  return 0;
}

double Seconds(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

int CmdBench(const std::string& dir) {
  auto t0 = std::chrono::steady_clock::now();
  GError* error = nullptr;
  Itdb_iTunesDB* itdb = itdb_parse(dir.c_str(), &error);
  if (!itdb) Fail("cannot parse " + dir + ": " + GErrorText(error));
  double parse_s = Seconds(t0);
  guint32 tracks = itdb_tracks_number(itdb);
  auto t1 = std::chrono::steady_clock::now();
  if (!itdb_write(itdb, &error)) Fail("itdb_write failed: " + GErrorText(error));
  double write_s = Seconds(t1);
  itdb_free(itdb);
  json out;
  out["parse_s"] = parse_s;
  out["write_s"] = write_s;
  out["tracks"] = tracks;
  std::cout << out.dump() << "\n";
  return 0;
}

// A line of /proc/self/status ("VmRSS", "VmHWM") in KiB, or -1.
long StatusKiB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, n, key) == 0 && line.size() > n && line[n] == ':')
      return std::strtol(line.c_str() + n + 1, nullptr, 10);
  return -1;
}

// Parses only, so that the process's peak memory is that of a parse: the
// resident size before and the peak after.
int CmdParse(const std::string& dir) {
  long rss_before = StatusKiB("VmRSS");
  auto t0 = std::chrono::steady_clock::now();
  GError* error = nullptr;
  Itdb_iTunesDB* itdb = itdb_parse(dir.c_str(), &error);
  if (!itdb) Fail("cannot parse " + dir + ": " + GErrorText(error));
  double parse_s = Seconds(t0);
  long hwm = StatusKiB("VmHWM");
  json out;
  out["parse_s"] = parse_s;
  out["tracks"] = itdb_tracks_number(itdb);
  out["rss_before_kb"] = rss_before;
  out["hwm_kb"] = hwm;
  itdb_free(itdb);
  std::cout << out.dump() << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) Usage();
  // libgpod draws the ids it makes up itself (album and artist items, the
  // database's persistent id) from glib's global generator; a fixed seed
  // makes those repeatable too.
  g_random_set_seed(0x4341445Au);
  std::string cmd = argv[1];
  if (cmd == "make") return CmdMake(ParseOptions(argc, argv));
  if (cmd == "synth") return CmdSynth(ParseOptions(argc, argv));
  if (cmd == "dump" && argc == 3) return CmdDump(argv[2]);
  if (cmd == "bench" && argc == 3) return CmdBench(argv[2]);
  if (cmd == "parse" && argc == 3) return CmdParse(argv[2]);
  Usage();
}
