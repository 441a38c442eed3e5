// cadenza: the command-line tool.
//
//   cadenza [--device DIR] [--json] [--yes|--no] COMMAND ...
//
// DIR is the mount point of the iPod (or of a folder made by `cadenza
// init`). Without --device the iPod is looked for among the mounted disks.
#ifdef _WIN32
#include <windows.h>
// windows.h names a macro after the host's MessageBox.
#undef MessageBox
#include <shellapi.h>
#endif

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <map>
#include <thread>

#include "cadenza/cadenza.h"
#include "cadenza/library.h"
#include "cadenza/version.h"
#include "cli/json.h"
#include "component/check.h"
#include "component/track_text.h"
#include "cli/terminal_host.h"
#include "device/device_info.h"
#include "media/avi_delay.h"
#include "media/cover.h"
#include "media/id3.h"
#include "media/media_kind.h"
#include "media/convert_pool.h"
#include "media/mpeg_audio.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace cadenza::cli {
namespace {


constexpr int kExitOK = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitPartial = 3;
constexpr int kExitBusy = 4;
constexpr int kExitInterrupted = 130;

constexpr char kExitCodes[] = R"(Exit status:
  0    done
  1    failed, and nothing was changed (or `check` found the device out of step)
  2    the command line is wrong; nothing was changed
  3    partly done: some files or tracks were handled and the others not, each
       one listed with the reason
  4    another program is changing this iPod; nothing was changed
  130  interrupted (Ctrl-C, SIGTERM or SIGHUP); what was done before is kept)";

struct Global {
  std::string device;
  bool json = false;
  bool jsonl = false;
  bool no_images = false;
  bool yes = false;
  bool no = false;
  double wait_s = 3;
};

void PrintJson(const Json& j) {
  std::cout << j.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

int ExitFor(const Status& st) {
  return st.code() == Status::Code::kBusy ? kExitBusy : kExitFailed;
}

int Fail(const Status& st, const std::string& what) {
  std::cerr << "cadenza: " << what;
  if (!st.ok()) std::cerr << ": " << st.message();
  std::cerr << "\n";
  return ExitFor(st);
}

// Text from a database or a file's tags as a terminal may show it: control
// characters (which could move the cursor or retitle the window) become
// "?". JSON output keeps the text exact.
std::string Printable(std::string s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x20 || b == 0x7F) {
      s[i] = '?';
    } else if (b == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
      s.replace(i, 2, "?");  // a C1 control character
    }
  }
  return s;
}

std::string Text(const MHOD_S& o) { return Utf16ToUtf8(o.sString.u16()); }

std::string Length(int32_t ms) {
  if (ms <= 0) return "";
  char b[32];
  std::snprintf(b, sizeof b, "%d:%02d", ms / 60000, (ms / 1000) % 60);
  return b;
}

// Cuts UTF-8 text to a number of terminal columns and pads it to them (wide
// characters of East Asian scripts take two).
std::string Col(const std::string& s, size_t w) {
  size_t used = 0;
  std::string t = Utf8FitWidth(Printable(s), w, &used);
  return t + std::string(w > used ? w - used : 0, ' ');
}

Options OptionsFor(const Global& g, bool writes) {
  Options o;
  // Only commands that change the device repair it; they hold its lock.
  o.offer_repair = writes;
  o.lock_wait_ms = static_cast<int>(g.wait_s * 1000);
  return o;
}

// Prints a track section as compact JSON while walking it, so that the
// output never exists whole in memory. With `lines`, one track object per
// line (JSON lines) and nothing else.
void StreamTracks(const MHSD_T& section, JsonOptions o, bool lines) {
  std::ios::sync_with_stdio(false);
  if (!lines) {
    o.indent = -1;
    StreamJson(std::cout, section, o);
    std::cout << "\n";
    return;
  }
  const MHLT& l = section.m_mhlt;
  const size_t n = std::min(l.m_mhit.size(), static_cast<size_t>(std::max(l.iNumberOfllTracks, 0)));
  std::string line;
  for (size_t i = 0; i < n; ++i) {
    line.clear();
    AppendJson(line, l.m_mhit[i], o);
    line += '\n';
    std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
  }
  std::cout.flush();
}

// Files to import: the files named and every file below the folders named.
struct Input {
  std::string path;
  bool named = false;  // named on the command line (not found in a folder)
};

// A file that was not imported, and why.
struct Left {
  std::string path;
  std::string why;
};

// The `playlist` command: which action, and its operands.
struct PlaylistArgs {
  std::string action;  // new, rename, rm, add, remove, move, show, import, export
  std::string name, new_name, file;
  std::vector<int32_t> ids;
  int32_t move_id = 0;
  int32_t position = 1;
};

class App {
 public:
  // `writes`: the command changes the device.
  App(Global g, bool writes)
      : g_(std::move(g)),
        writes_(writes),
        host_(g_.yes ? TerminalHost::Answer::kYes
                     : g_.no ? TerminalHost::Answer::kNo : TerminalHost::Answer::kAsk) {}

  // Finds the device root (detecting it when none was given) and attaches
  // the library to it.
  bool Open() {
    if (lib_) return true;
    std::string root = g_.device;
    if (root.empty()) {
      clsCadenza finder(&host_, OptionsFor(g_, writes_));
      finder.initlaize(0, "cadenza", "");
      root = finder.iPodDriveLetter();
    }
    if (root.empty()) {
      std::cerr << "cadenza: no iPod found; give its mount point with --device DIR\n";
      return false;
    }
    lib_ = std::make_unique<Library>(root, OptionsFor(g_, writes_));
    TerminalHost::SetCancelTarget(lib_.get());
    lib_->SetProgressCallback([this](const Progress& p) { OnProgress(p); });
    return true;
  }

  bool Load() {
    if (!Open()) return false;
    Status st = lib_->Load();
    if (st.ok()) {
      notices_shown_ = 0;
      ShowNotices();
      return true;
    }
    const bool repairable = st.code() == Status::Code::kCorrupt ||
                            (st.code() == Status::Code::kNotFound && st.number() != 76);
    if (repairable && writes_) return Repair(st);
    Fail(st, "cannot load the iPod database");
    if (repairable) std::cerr << "cadenza: `cadenza rebuild` or `cadenza reset` repairs it\n";
    last_ = st;
    return false;
  }

  // A command that changes the device repairs a missing or damaged
  // database when the user agrees: rebuilt from the music on the device,
  // or else replaced by an empty one. A damaged file is kept beside it.
  bool Repair(const Status& why) {
    const bool damaged = why.code() == Status::Code::kCorrupt;
    const std::string what = damaged ? "The iPod database is damaged (" + why.message() + ")."
                                     : "The iPod has no database.";
    const bool has_music =
        fs::FolderExists(fs::DevicePath(lib_->root(), "iPod_Control\\Music"));
    const bool rebuild =
        has_music && Ask(what + " Rebuild it from the media files on the iPod?");
    if (!rebuild && !Ask(what + " Replace it with an empty database?")) {
      last_ = why;
      std::cerr << "cadenza: nothing was changed\n";
      return false;
    }
    if (damaged) {
      std::string kept;
      if (Status st = lib_->KeepDamagedCopy(&kept); !st.ok()) {
        last_ = st;
        Fail(st, "the damaged database could not be kept, so it was not replaced");
        return false;
      }
      std::cerr << "cadenza: the damaged database was kept as " << kept
                << "; rename it back to undo the repair\n";
    }
    last_ = rebuild ? lib_->Rebuild() : lib_->Reset();
    host_.ClearProgress();
    if (!last_.ok()) Fail(last_, rebuild ? "the rebuild failed" : "the reset failed");
    return last_.ok();
  }

  bool Ask(const std::string& question) {
    return host_.MessageBox(question, "", kMsgYesNo | kMsgExclamation) == kAnswerYes;
  }

  void OnProgress(const Progress& p) {
    switch (p.stage) {
      case Progress::Stage::kCopy:
        host_.CopyProgress(p.done, p.total);
        break;
      case Progress::Stage::kRebuildFile:
        host_.SetImportProgress(static_cast<size_t>(p.done), static_cast<size_t>(p.total), p.done,
                                p.total);
        break;
      case Progress::Stage::kRebuildSkipped:
      case Progress::Stage::kRebuildFailed:
        host_.ClearProgress();
        std::cerr << "  not entered: " << Printable(std::string(p.item)) << ": "
                  << Printable(p.status->message()) << "\n";
        break;
      default:
        break;
    }
  }

  // Commands that change the device hold its lock from before they load the
  // database until after they have written it; a second one waits for
  // --wait seconds, then gives up and changes nothing.
  int Lock() {
    if (!Open()) return kExitFailed;
    Status st = lib_->Lock();
    if (st.code() == Status::Code::kBusy) {
      std::cerr << "cadenza: " << st.message() << " (waited " << g_.wait_s
                << " s); nothing was changed\n";
      return kExitBusy;
    }
    if (!st.ok()) {
      std::cerr << "cadenza: " << st.message() << "\n";
      return kExitFailed;
    }
    TerminalHost::InstallInterruptHandler();
    return kExitOK;
  }

  int WriteBack() {
    if (int rc = Lock(); rc != kExitOK) return rc;
    return Load() ? Write() : ExitFor(last_);
  }

  // Writes the database; the files of deleted tracks go after it.
  // `kept` receives the files that had to be kept.
  int Write(std::vector<std::string>* kept = nullptr) {
    Status st = lib_->Save(kept);
    ShowNotices();
    if (!st.ok()) return Fail(st, "the database was not written");
    return kExitOK;
  }

  // Warnings of the library not shown yet.
  void ShowNotices() {
    const auto& all = lib_->notices();
    for (; notices_shown_ < all.size(); ++notices_shown_)
      std::cerr << "cadenza: warning: " << Printable(all[notices_shown_]) << "\n";
  }

  // The header and the counts come from the chunk headers: no records are
  // built, so a large database costs little more than its file.
  int Info() {
    if (!Open()) return kExitFailed;
    DatabaseSummary sum;
    if (Status st = Library::ReadSummary(lib_->root(), lib_->options(), &sum); !st.ok()) {
      Fail(st, "cannot load the iPod database");
      if (st.code() == Status::Code::kCorrupt || st.code() == Status::Code::kNotFound)
        std::cerr << "cadenza: `cadenza rebuild` or `cadenza reset` repairs it\n";
      return kExitFailed;
    }
    const MHBD& h = sum.header;
    const DeviceModel& dev = lib_->device();
    ArtworkInfo art;
    (void)lib_->GetArtworkInfo(&art);
    if (g_.json) {
      Json j;
      j["device"] = lib_->root();
      j["model"] = dev.name;
      j["model_number"] = dev.model_number;
      j["checksum"] = dev.checksum;
      j["guid"] = dev.guid;
      j["writable"] = dev.writable.ok();
      j["shuffle"] = dev.shuffle;
      j["shuffle_format"] = dev.shuffle_format;
      JsonOptions no_images;
      no_images.images = false;
      j["header"] = ToJson(h, no_images);
      j["tracks"] = sum.tracks;
      j["playlists"] = sum.playlists;
      j["podcasts"] = sum.podcasts;
      j["artwork"] = ArtworkJson(art);
      PrintJson(j);
      return kExitOK;
    }
    std::printf("Device:      %s\n", lib_->root().c_str());
    std::printf("Version:     0x%x\n", static_cast<unsigned>(h.iVersion));
    std::printf("Sections:    %d\n", h.iNumberOfMHSD);
    std::printf("Library id:  %s\n", Hex(h.sLibraryID).c_str());
    std::printf("File size:   %d bytes\n", h.iTotalSize);
    std::printf("Tracks:      %d\n", sum.tracks);
    std::printf("Playlists:   %d\n", sum.playlists);
    std::printf("Podcasts:    %d\n", sum.podcasts);
    std::printf("%s", dev.description.c_str());
    PrintArtwork(art);
    return kExitOK;
  }

  static Json ArtworkJson(const ArtworkInfo& art) {
    Json j;
    j["formats"] = Json::array();
    for (const auto& f : art.formats)
      j["formats"].push_back({{"id", f.id}, {"width", f.width}, {"height", f.height}});
    j["formats_from"] = art.formats_from;
    j["images"] = art.images;
    j["files"] = art.files;
    j["file_bytes"] = art.file_bytes;
    j["unused_bytes"] = art.unused_bytes;
    if (!art.problem.empty()) j["problem"] = art.problem;
    return j;
  }

  static void PrintArtwork(const ArtworkInfo& art) {
    if (art.formats.empty()) {
      std::printf("Covers:      none (this iPod shows no cover art)\n");
      return;
    }
    std::string formats;
    for (const auto& f : art.formats)
      formats += (formats.empty() ? "" : ", ") + std::to_string(f.id) + " (" +
                 std::to_string(f.width) + "x" + std::to_string(f.height) + ")";
    std::printf("Cover sizes: %s, from the %s\n", formats.c_str(),
                art.formats_from == "model" ? "model number" : art.formats_from.c_str());
    if (!art.problem.empty()) {
      std::printf("Covers:      %s\n", Printable(art.problem).c_str());
      return;
    }
    std::printf("Covers:      %d images in %d files (%.1f MB, %.1f MB unused)\n", art.images,
                art.files, static_cast<double>(art.file_bytes) / 1e6,
                static_cast<double>(art.unused_bytes) / 1e6);
  }

  // `art ID --out FILE`: the track's cover as a PNG; without --out, whether
  // it has one.
  int ArtShow(int32_t id, const std::string& out) {
    if (!Load()) return kExitFailed;
    const MHIT* t = lib_->track(id);
    if (!t) return Fail(Status::Invalid("no track " + std::to_string(id)), "no cover");
    if (out.empty()) {
      std::printf("Track %d: %s (image %d)\n", id, Library::HasCover(*t) ? "cover" : "no cover",
                  Library::CoverImageId(*t));
      return kExitOK;
    }
    std::string png;
    if (Status st = lib_->ReadCover(id, &png); !st.ok()) return Fail(st, "no cover was written");
    if (Status st = fs::WriteFileAtomic(out, png); !st.ok()) return Fail(st, "cannot write " + out);
    return kExitOK;
  }

  // `art set ID IMAGE`, `art set --album NAME IMAGE`, `art rm ID`.
  int ArtChange(const std::string& action, const std::vector<std::string>& args,
                const std::string& album) {
    const bool set = action == "set";
    const size_t wanted = (set ? 1 : 0) + (album.empty() ? 1 : 0);
    if (args.size() != wanted || (!set && !album.empty())) {
      std::cerr << "cadenza: use `art set ID IMAGE`, `art set --album NAME IMAGE` or `art rm ID`\n";
      return kExitUsage;
    }
    int32_t id = 0;
    if (album.empty()) {
      const auto [end, ec] = std::from_chars(args[0].data(), args[0].data() + args[0].size(), id);
      if (ec != std::errc() || end != args[0].data() + args[0].size()) {
        std::cerr << "cadenza: not a track id: " << args[0] << "\n";
        return kExitUsage;
      }
    }
    std::string picture;
    if (set) {
      if (Status st = fs::ReadFileUpTo(args.back(), kMaxCoverBytes + 1, &picture); !st.ok())
        return Fail(st, "cannot read " + args.back());
      if (picture.size() > kMaxCoverBytes) {
        std::cerr << "cadenza: " << args.back() << " is too large for a cover\n";
        return kExitFailed;
      }
    }
    if (int rc = Lock(); rc != kExitOK) return rc;
    if (!Load()) return ExitFor(last_);
    int32_t count = 1;
    Status st = !set              ? lib_->RemoveCover(id)
                : album.empty() ? lib_->SetCover(id, picture)
                                : lib_->SetAlbumCover(album, picture, &count);
    if (!st.ok()) return Fail(st, "nothing was changed");
    if (int w = Write(); w != kExitOK) return w;
    if (!album.empty()) std::printf("%d tracks of \"%s\" have the cover\n", count, album.c_str());
    return kExitOK;
  }

  int Tracks() {
    if (!Load()) return kExitFailed;
    if (g_.json || g_.jsonl) {
      JsonOptions o;
      o.images = !g_.no_images;
      StreamTracks(lib_->database().m_MHSD_T, o, g_.jsonl);
      return kExitOK;
    }
    std::string out;
    auto line = [&](const std::string& id, const std::string& title, const std::string& artist,
                    const std::string& album, const std::string& length, const std::string& plays,
                    const std::string& rating, const std::string& where) {
      auto right = [](const std::string& v, size_t w) {
        return std::string(v.size() < w ? w - v.size() : 0, ' ') + v;
      };
      out += id + "  " + Col(title, 30) + "  " + Col(artist, 20) + "  " + Col(album, 20) + "  " +
             right(length, 6) + "  " + right(plays, 5) + "  " + Col(rating, 6) + "  " +
             Printable(where) + "\n";
      if (out.size() > (1 << 16)) {
        std::fwrite(out.data(), 1, out.size(), stdout);
        out.clear();
      }
    };
    line("    ID", "Title", "Artist", "Album", "Length", "Plays", "Rating", "Location");
    for (const MHIT& k : lib_->tracks()) {
      std::string text[5];  // title, location, album, artist by type
      for (const MHOD_S& o : k.m_mhod) {
        if (!o.sAllMHOD.empty() || o.iType < 1 || o.iType > 4 || !text[o.iType].empty()) continue;
        text[o.iType] = Text(o);
      }
      char id[16];
      std::snprintf(id, sizeof id, "%6d", k.iUniqueID);
      line(id, text[1], text[4], text[3], Length(k.iTrackTimeLength), std::to_string(k.iPlayCount),
           std::string(std::min(k.iStartRating / 20, 5), '*'), text[2]);
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return kExitOK;
  }

  int Playlists(bool podcasts) {
    if (!Load()) return kExitFailed;
    const Database& db = lib_->database();
    const MHSD_P& p = podcasts ? db.m_MHSD_Podcasts : db.m_MHSD_PlayLists;
    if (g_.json || g_.jsonl) {
      JsonOptions o;
      o.images = !g_.no_images;
      o.indent = -1;
      StreamJson(std::cout, p, o);
      std::cout << "\n";
      return kExitOK;
    }
    std::printf("%s  %6s  %s\n", Col("Name", 40).c_str(), "Items", "Kind");
    for (const MHYP& y : p.m_mhlp.m_mhyp) {
      std::printf("%s  %6d  %s\n", Col(Library::PlaylistName(y), 40).c_str(),
                  y.iPlaylistItemsCount - y.iMHYPs2Delete,
                  y.iIsMasterFLag ? "master" : Library::IsSmart(y) ? "smart" : "");
    }
    return kExitOK;
  }

  int Reset() {
    if (!Open()) return kExitFailed;
    TerminalHost::InstallInterruptHandler();
    if (!Ask("Replace the iPod database on " + lib_->root() +
             " with an empty one? Every track entry is lost; the media files stay on the device."))
      return kExitFailed;
    if (Status st = lib_->Reset(); !st.ok()) return Fail(st, "the database was not reset");
    return kExitOK;
  }

  int Init(const std::string& dir) {
    if (Status st = fs::CreateFolders(dir); !st.ok()) {
      std::cerr << "cadenza: cannot create " << dir << ": " << st.message() << "\n";
      return kExitFailed;
    }
    g_.device = dir;
    if (!Open()) return kExitFailed;
    std::string db = fs::DevicePath(lib_->root(), "iPod_Control\\iTunes\\iTunesDB");
    if (fs::FileExists(db) && !Ask(dir + " already holds an iPod database. Replace it with an empty one?"))
      return kExitFailed;
    if (Status st = lib_->Reset(); !st.ok()) return Fail(st, "cannot install the empty database");
    (void)fs::CreateFolders(fs::DevicePath(lib_->root(), "iPod_Control\\Music"));
    std::printf("%s is ready\n", lib_->root().c_str());
    return kExitOK;
  }

  int Show(int32_t id) {
    if (!Load()) return kExitFailed;
    TrackInfo info;
    if (Status st = lib_->Describe(id, &info); !st.ok())
      return Fail(st, "no track " + std::to_string(id));
    PrintInfo(info);
    return kExitOK;
  }

  void PrintInfo(const TrackInfo& i) {
    if (g_.json || g_.jsonl) {
      PrintJson(ToJson(i));
      return;
    }
    Json j = ToJson(i);
    for (auto& [k, v] : j.items()) {
      std::string val = v.is_string() ? v.get<std::string>() : v.dump();
      std::printf("%-22s %s\n", k.c_str(), Printable(val).c_str());
    }
  }

  // The database without the tracks is written first and their files are
  // deleted after it: a crash in between leaves files that no track lists
  // (`check` finds them), never a listed track without its file.
  int Remove(const std::vector<int32_t>& ids) {
    if (int rc = Lock(); rc != kExitOK) return rc;
    if (!Load()) return ExitFor(last_);
    size_t problems = 0, marked = 0;
    for (int32_t id : ids) {
      if (Status st = lib_->Delete(id); !st.ok()) {
        Fail(st, "track " + std::to_string(id));
        ++problems;
        continue;
      }
      ++marked;
    }
    if (marked == 0) return kExitFailed;
    std::vector<std::string> kept;
    if (int w = Write(&kept); w != kExitOK) return w;
    for (const std::string& why : kept)
      std::cerr << "cadenza: the track was deleted but its file was kept: " << why << "\n";
    problems += kept.size();
    return problems ? kExitPartial : kExitOK;
  }

  int Modify(int32_t id, const TrackEdit& e) {
    if (int rc = Lock(); rc != kExitOK) return rc;
    if (!Load()) return ExitFor(last_);
    Status st = lib_->Edit(id, e);
    if (st.code() == Status::Code::kInvalid) {
      std::cerr << "cadenza: " << st.message() << "; nothing was changed\n";
      return kExitUsage;
    }
    if (!st.ok()) return Fail(st, "no track " + std::to_string(id));
    return Write();
  }

  int Add(const std::vector<std::string>& inputs, const ImportOptions& how,
          const std::string& playlist);
  bool FillPlaylist(const std::string& name, const std::vector<int32_t>& ids,
                    std::vector<Left>* failed);
  int PlaylistEdit(const PlaylistArgs& a, const ImportOptions& how);
  int PlaylistShow(const std::string& name);
  int Plays(const std::string& since, bool clear, const std::string& scrobbler_log);
  int Dupes();
  int FinishAdd(const std::vector<std::string>& copied, const std::vector<Left>& present,
                const std::vector<Left>& skipped, const std::vector<Left>& failed,
                const char* why_stopped, bool listed = false);
  int Export(const std::string& dir, const std::vector<int32_t>& ids, const ExportOptions& how);
  // A rebuild throws away every edit and playlist, so it asks first. It is
  // built in memory and written at its end: Ctrl-C or a kill before then
  // leaves the database as it was.
  int Rebuild() {
    if (!Open()) return kExitFailed;
    if (!Ask("Rebuild the iPod database on " + lib_->root() +
             " from the media files on it? Every track entry, playlist and edit is replaced; "
             "the media files stay.")) {
      std::cerr << "cadenza: nothing was changed\n";
      return kExitFailed;
    }
    Status st = lib_->Rebuild();
    host_.ClearProgress();
    if (!st.ok()) return Fail(st, "the rebuild failed");
    std::printf("rebuilt: %zu tracks\n", lib_->track_count());
    return kExitOK;
  }
  int Check(bool repair, bool adopt, bool remove);
  int Detect() {
    clsCadenza finder(&host_, OptionsFor(g_, false));
    std::string root = finder.GetiPodDriveString(0, "cadenza", false);
    if (root.empty()) {
      std::cerr << "cadenza: no iPod found\n";
      return kExitFailed;
    }
    std::printf("%s\n", root.c_str());
    return kExitOK;
  }
  int Probe(const std::vector<std::string>& files, bool verbose);

 private:
  Global g_;
  bool writes_;
  TerminalHost host_;
  std::unique_ptr<Library> lib_;
  Status last_;  // why the last load or repair failed
  size_t notices_shown_ = 0;
};

std::vector<Input> CollectFiles(const std::vector<std::string>& inputs, std::vector<Left>* problems) {
  std::vector<Input> out;
  for (const std::string& in : inputs) {
    if (fs::FolderExists(in)) {
      std::vector<fs::WalkError> errors;
      for (std::string& f : fs::WalkFiles(in, &errors)) out.push_back({std::move(f), false});
      for (fs::WalkError& e : errors) problems->push_back({e.path, "folder not read: " + e.reason});
    } else if (!fs::PathExists(in)) {
      problems->push_back({in, "No such file or directory"});
    } else {
      out.push_back({in, true});
    }
  }
  return out;
}

// Why a file could not be described: its streams when the analyser named
// them.
std::string StreamsReason(const TrackInfo& info, const std::string& why) {
  if ((info.sVideoCodec.empty() && info.sAudioCodec.empty()) ||
      why.find("The file is not supported") != 0)
    return why;
  return "video " + (info.sVideoCodec.empty() ? "none" : info.sVideoCodec) + ", audio " +
         (info.sAudioCodec.empty() ? "none" : info.sAudioCodec) + " is not supported";
}

bool NeedsConversion(const std::string& path) {
  const MediaKind* k = FindMediaKind(path);
  return k && (k->reader == MediaReader::kConvertAudio || k->reader == MediaReader::kConvertVideo);
}

// Files are described and converted on all cores, ahead of the copying,
// which goes one file at a time in the order the files were named.
int App::Add(const std::vector<std::string>& inputs, const ImportOptions& how,
             const std::string& playlist) {
  std::vector<Left> failed, skipped, present;
  const std::vector<Input> files = CollectFiles(inputs, &failed);
  if (int rc = Lock(); rc != kExitOK) return rc;
  if (!Load()) return ExitFor(last_);
  uint64_t total = 0, done = 0;
  size_t to_convert = 0, converted = 0;
  for (const auto& f : files) {
    total += static_cast<uint64_t>(std::max<int64_t>(fs::FileSize(f.path), 0));
    to_convert += NeedsConversion(f.path);
  }
  std::vector<PreparedFile> prepared(files.size());
  // Described and converted ahead of the copying, a few files at a time.
  ConvertPool pool;
  const size_t ahead = 2 * std::max(1u, std::thread::hardware_concurrency());
  size_t submitted = 0;
  auto submit_up_to = [&](size_t limit) {
    for (; submitted < std::min(limit, files.size()); ++submitted) {
      const size_t k = submitted;
      pool.Submit([this, &files, &prepared, &how, k] {
        return Library::Prepare(files[k].path, lib_->options(), how, &prepared[k]);
      });
    }
  };
  std::vector<std::string> copied;  // the files this run put on the device
  std::vector<int32_t> ids;         // the tracks of the files named, new or present
  bool interrupted = false, full = false;
  size_t i = 0;
  for (; i < files.size(); ++i) {
    const Input& in = files[i];
    submit_up_to(i + ahead);
    host_.SetConversionProgress(converted, to_convert);
    host_.SetImportProgress(i, files.size(), done, total);
    Status st = pool.Wait(i, [&] {
      host_.SetImportProgress(i, files.size(), done, total);
      return !host_.interrupted();
    });
    if ((interrupted = host_.interrupted())) break;
    if (NeedsConversion(in.path)) ++converted;
    int32_t id = 0;
    const TrackInfo info = prepared[i].info;
    const bool described = st.ok();
    if (described) st = lib_->AddPrepared(prepared[i], how, &id);
    prepared[i] = PreparedFile{};  // a conversion is not kept longer than needed
    done += static_cast<uint64_t>(std::max<int64_t>(fs::FileSize(in.path), 0));
    if (id != 0) ids.push_back(id);
    if (st.ok()) {
      TrackInfo entered;
      (void)lib_->Describe(id, &entered);
      copied.push_back(entered.sLocation);
      continue;
    }
    std::string why = st.message();
    const auto code = st.code();
    if (code == Status::Code::kCancelled) {
      interrupted = true;
      break;
    }
    if (code == Status::Code::kDuplicate) {
      present.push_back({in.path, why});
      continue;
    }
    if (!described) why = StreamsReason(info, why);
    // Files of kinds the iPod does not play, met in a folder, are passed
    // over; anything named, or of a kind it plays, should have come in.
    const bool foreign = !described && !FindMediaKind(in.path) && code == Status::Code::kUnsupported;
    (foreign && !in.named ? skipped : failed)
        .push_back({in.path, foreign ? "not a kind of file the iPod plays" : why});
    if (code == Status::Code::kNoSpace || code == Status::Code::kBusy) {
      // The iPod is full (or taken over): the rest is not copied.
      full = code == Status::Code::kNoSpace;
      for (++i; i < files.size(); ++i) failed.push_back({files[i].path, "not copied"});
      break;
    }
  }
  pool.Cancel();
  host_.ClearProgress();
  const bool listed = FillPlaylist(playlist, ids, &failed);
  return FinishAdd(copied, present, skipped, failed,
                   interrupted ? " (interrupted)" : full ? " (the iPod is full)" : "", listed);
}

// Puts the tracks of an import into the playlist named (made when missing);
// whether it changed.
bool App::FillPlaylist(const std::string& name, const std::vector<int32_t>& ids,
                       std::vector<Left>* failed) {
  if (name.empty() || ids.empty()) return false;
  Status st = lib_->FindPlaylist(name) ? Status::OK() : lib_->CreatePlaylist(name);
  if (st.ok()) st = lib_->AddToPlaylist(name, ids);
  if (!st.ok()) failed->push_back({name, "playlist not filled: " + st.message()});
  return st.ok();
}

// Reports what an import did and writes the database when files came in.
int App::FinishAdd(const std::vector<std::string>& copied, const std::vector<Left>& present,
                   const std::vector<Left>& skipped, const std::vector<Left>& failed,
                   const char* why_stopped, bool listed) {
  std::printf("%zu added, %zu not supported, %zu failed", copied.size(), skipped.size(),
              failed.size());
  if (!present.empty()) std::printf(", %zu already on the iPod", present.size());
  std::printf("%s\n", why_stopped);
  for (const auto& [f, why] : present)
    std::printf("  already on the iPod: %s (%s)\n", Printable(f).c_str(), why.c_str());
  for (const auto& [f, why] : skipped)
    std::printf("  not supported: %s: %s\n", Printable(f).c_str(), why.c_str());
  for (const auto& [f, why] : failed)
    std::printf("  failed: %s: %s\n", Printable(f).c_str(), Printable(why).c_str());
  std::fflush(stdout);
  if (!copied.empty() || listed) {
    if (int w = Write(); w != kExitOK) {
      // Nothing unlisted stays behind: the files copied for the database
      // that could not be written go again.
      size_t removed = 0;
      for (const std::string& f : copied) removed += lib_->RemoveMusicFile(f).ok();
      std::cerr << "cadenza: the " << removed << " files copied by this run were removed again\n";
      return w;
    }
  }
  if (std::string_view(why_stopped) == " (interrupted)") return kExitInterrupted;
  if (copied.empty() && failed.empty() && (!present.empty() || listed)) return kExitOK;
  if (copied.empty()) return kExitFailed;
  return failed.empty() ? kExitOK : kExitPartial;
}

int App::PlaylistEdit(const PlaylistArgs& a, const ImportOptions& how) {
  if (a.action == "export") {
    if (!Load()) return kExitFailed;
    if (Status st = lib_->ExportPlaylist(a.name, a.file); !st.ok())
      return Fail(st, "the playlist was not written");
    return kExitOK;
  }
  if (int rc = Lock(); rc != kExitOK) return rc;
  if (!Load()) return ExitFor(last_);
  Status st;
  PlaylistImportReport report;
  if (a.action == "new") st = lib_->CreatePlaylist(a.name);
  if (a.action == "rename") st = lib_->RenamePlaylist(a.name, a.new_name);
  if (a.action == "rm") st = lib_->DeletePlaylist(a.name);
  if (a.action == "add") st = lib_->AddToPlaylist(a.name, a.ids);
  if (a.action == "remove") st = lib_->RemoveFromPlaylist(a.name, a.ids);
  if (a.action == "move")
    st = lib_->MovePlaylistItem(a.name, a.move_id, static_cast<size_t>(a.position - 1));
  if (a.action == "import") {
    st = lib_->ImportPlaylist(a.file, a.name, how, &report);
    host_.ClearProgress();
    std::printf("%zu listed, %zu added, %zu failed\n", report.tracks.size(), report.added.size(),
                report.failed.size());
    for (const auto& [entry, why] : report.failed)
      std::printf("  failed: %s: %s\n", Printable(entry).c_str(), Printable(why).c_str());
    // What could be listed is kept even when some entries failed.
    if (!st.ok() && !report.tracks.empty()) {
      if (int w = Write(); w != kExitOK) return w;
      return kExitPartial;
    }
  }
  if (!st.ok()) {
    std::cerr << "cadenza: " << st.message() << "; nothing was changed\n";
    return st.code() == Status::Code::kInvalid || st.code() == Status::Code::kNotFound ? kExitUsage
                                                                                       : ExitFor(st);
  }
  return Write();
}

int App::PlaylistShow(const std::string& name) {
  if (!Load()) return kExitFailed;
  const MHYP* y = lib_->FindPlaylist(name);
  if (!y) return Fail(Status::NotFound("No playlist is named \"" + name + "\""), "not shown");
  const std::vector<int32_t> ids = Library::PlaylistTracks(*y);
  if (g_.json) {
    PrintJson({{"name", name}, {"master", y->iIsMasterFLag != 0}, {"smart", Library::IsSmart(*y)},
               {"tracks", ids}});
    return kExitOK;
  }
  if (Library::IsSmart(*y)) std::printf("(a smart playlist: the iPod fills it from its rules)\n");
  size_t n = 0;
  for (int32_t id : ids) {
    Tags t;
    (void)lib_->DescribeTags(id, &t);
    const MHIT* k = lib_->track(id);
    std::printf("%4zu  %6d  %s  %s  %6s\n", ++n, id, Col(t.title, 30).c_str(), Col(t.artist, 20).c_str(),
                Length(k ? k->iTrackTimeLength : 0).c_str());
  }
  return kExitOK;
}

// "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM[:SS]" as seconds of the device's
// clock (read as UTC, as the plays are), or -1.
int64_t ParseSince(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
  const int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%*[T ]%2d:%2d:%2d", &y, &mo, &d, &h, &mi, &sec);
  if (n != 3 && n < 5) return -1;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 59) return -1;
  // Days from 1970-01-01 (civil calendar).
  const int yy = y - (mo <= 2);
  const int era = (yy >= 0 ? yy : yy - 399) / 400;
  const int yoe = yy - era * 400;
  const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = int64_t{era} * 146097 + doe - 719468;
  return days * 86400 + h * 3600 + mi * 60 + sec;
}

// Listing the plays collects what the iPod recorded since the last write
// (as every write does), so that the log is complete.
int App::Plays(const std::string& since, bool clear, const std::string& scrobbler_log) {
  const int64_t from = since.empty() ? 0 : ParseSince(since);
  if (from < 0) {
    std::cerr << "cadenza: --since takes YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS]\n";
    return kExitUsage;
  }
  if (int rc = Lock(); rc != kExitOK) return rc;
  if (!Load()) return ExitFor(last_);
  if (!lib_->pending_plays().empty() && lib_->device().writable.ok()) {
    if (int w = Write(); w != kExitOK) return w;
  }
  std::vector<PlayEvent> plays;
  if (Status st = lib_->ReadPlays(&plays); !st.ok()) return Fail(st, "the play log was not read");
  std::erase_if(plays, [&](const PlayEvent& e) { return std::max(e.last_played, e.last_skipped) < from; });
  Json all = Json::array();
  for (const PlayEvent& e : plays) {
    if (g_.json) {
      all.push_back({{"id", e.track_id}, {"title", e.title}, {"artist", e.artist}, {"album", e.album},
                     {"plays", e.plays}, {"skips", e.skips}, {"last_played", e.last_played},
                     {"last_skipped", e.last_skipped}});
      continue;
    }
    char when[32] = "";
    const std::time_t t = static_cast<std::time_t>(e.last_played);
    if (e.last_played != 0) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", std::gmtime(&t));
    std::printf("%-16s  %3u plays  %3u skips  %s  %s\n", when, e.plays, e.skips,
                Col(e.artist, 20).c_str(), Printable(e.title).c_str());
  }
  if (g_.json) PrintJson(all);
  if (!g_.json && plays.empty()) std::printf("no plays recorded by the iPod since the log was cleared\n");
  if (!scrobbler_log.empty()) {
    if (Status st = Library::WriteScrobblerLog(plays, scrobbler_log); !st.ok())
      return Fail(st, "the scrobbler log was not written");
  }
  if (clear) {
    if (Status st = lib_->ClearPlays(); !st.ok()) return Fail(st, "the play log was not cleared");
  }
  return kExitOK;
}

int App::Dupes() {
  if (!Load()) return kExitFailed;
  const auto groups = lib_->Duplicates();
  Json all = Json::array();
  for (const auto& ids : groups) {
    Json group = Json::array();
    for (int32_t id : ids) {
      Tags t;
      (void)lib_->DescribeTags(id, &t);
      const MHIT* k = lib_->track(id);
      if (g_.json) {
        group.push_back({{"id", id}, {"title", t.title}, {"artist", t.artist},
                         {"album", t.album}, {"length_ms", k ? k->iTrackTimeLength : 0}});
      } else {
        std::printf("%6d  %s  %s  %s  %6s\n", id, Col(t.title, 30).c_str(), Col(t.artist, 20).c_str(),
                    Col(t.album, 20).c_str(), Length(k ? k->iTrackTimeLength : 0).c_str());
      }
    }
    if (g_.json) all.push_back(std::move(group));
    else std::printf("\n");
  }
  if (g_.json) PrintJson(all);
  else std::printf("%zu groups of duplicates\n", groups.size());
  return kExitOK;
}

int App::Export(const std::string& dir, const std::vector<int32_t>& ids, const ExportOptions& how) {
  if (!Load()) return kExitFailed;
  const size_t count = ids.empty() ? lib_->track_count() : ids.size();
  lib_->SetProgressCallback([&](const Progress& p) {
    if (p.stage == Progress::Stage::kExport)
      host_.SetImportProgress(static_cast<size_t>(p.done), count, p.done, count);
  });
  ExportReport report;
  Status st = lib_->Export(dir, ids, how, &report);
  host_.ClearProgress();
  if (!st.ok() && report.written.empty() && report.skipped.empty() && report.failed.empty())
    return Fail(st, "nothing was exported");
  std::printf("%zu exported, %zu already there, %zu failed", report.written.size(),
              report.skipped.size(), report.failed.size());
  if (how.playlists) std::printf(", %zu playlists", report.playlists.size());
  std::printf("\n");
  for (const auto& [id, why] : report.failed)
    std::printf("  failed: track %d: %s\n", id, Printable(why).c_str());
  if (report.failed.empty()) return kExitOK;
  return report.written.empty() && report.skipped.empty() ? kExitFailed : kExitPartial;
}

Json TagJson(const ID3TagInfo& t) {
  return Json{{"sArtist", t.sArtist},     {"sAlbum", t.sAlbum},
              {"sTitle", t.sTitle},       {"sYear", t.sYear},
              {"sGenre", t.sGenre},       {"sComment", t.sComment},
              {"sTrack", t.sTrack},       {"sEncodedBy", t.sEncodedBy},
              {"sURL", t.sURL},           {"sRightsNotice", t.sRightsNotice},
              {"sComposer", t.sComposer}, {"sOriginalArtist", t.sOriginalArtist}};
}

// What each reader found in a file, for probe --verbose.
Json ReadersJson(const std::string& f) {
  Json j;
  ID3TagInfo v1, v2;
  ClearTagInfo(v1);
  ClearTagInfo(v2);
  if (ReadID3v1Tag(f, v1)) j["ID3v1"] = TagJson(v1);
  if (ReadID3v2Tag(f, v2)) j["ID3v2"] = TagJson(v2);
  MPEGAudioInfo m;
  if (ReadMPEGAudioInfo(f, m)) {
    j["MPEGAudioInfo"] = Json{{"sVersionLayer", m.sVersionLayer}, {"bProtected", m.bProtected},
                              {"iBitrate", m.iBitrate},         {"iSampleRate", m.iSampleRate},
                              {"bVBR", m.bVBR},                 {"sChannelMode", m.sChannelMode},
                              {"bRightsFlag", m.bRightsFlag},   {"bOriginal", m.bOriginal},
                              {"bEmphasis", m.bEmphasis},       {"iDuration", m.iDuration},
                              {"iID3v1Revision", m.iID3v1Revision},
                              {"iID3v2Version", m.iID3v2Version}, {"iFileSize", m.iFileSize}};
  }
  clsAVIDelay avi;
  if (avi.OpenFile(f)) {
    Json streams = Json::array();
    for (int32_t i = 0; i < avi.StreamCount(); ++i)
      streams.push_back({{"audio", avi.StreamIsAudio(i)}, {"delay_ms", avi.StreamDelay(i)}});
    j["AVIStreams"] = std::move(streams);
  }
  return j;
}

int App::Probe(const std::vector<std::string>& files, bool verbose) {
  int rc = kExitOK;
  Json all = Json::array();
  for (const std::string& f : files) {
    TrackInfo info;
    Status st = Library::ProbeFile(f, OptionsFor(g_, false), &info);
    if (!st.ok() || !info.isFileSupported) {
      std::cerr << "cadenza: " << Printable(f) << ": "
                << (st.ok() ? std::string("not a kind of file the iPod plays") : st.message())
                << "\n";
      rc = kExitFailed;
    }
    Json readers = verbose ? ReadersJson(f) : Json();
    if (g_.json) {
      Json j = {{"file", f}, {"TrackInfo", ToJson(info)}};
      if (verbose) j["readers"] = readers;
      all.push_back(std::move(j));
    } else {
      std::printf("== %s\n", Printable(f).c_str());
      PrintInfo(info);
      if (verbose) {
        for (auto& [k, v] : readers.items())
          std::printf("-- %s\n%s\n", k.c_str(), v.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
      }
    }
  }
  if (g_.json) PrintJson(all);
  return rc;
}

// Reports what is out of step between the database and the music folders;
// with `repair`, mends it under the lock with one write: tracks whose file
// is gone are removed, and the files no track lists are entered (`adopt`)
// or deleted (`remove`) or else left and listed.
int App::Check(bool repair, bool adopt, bool remove) {
  if (repair) {
    if (int rc = Lock(); rc != kExitOK) return rc;
  }
  if (!Load()) return ExitFor(last_);
  const DeviceCheck r = CheckDevice(lib_->root(), lib_->database().m_MHSD_T.m_mhlt);
  for (const auto& m : r.missing)
    std::printf("missing file: track %d (%s)\n", m.id,
                m.location.empty() ? "no location" : Printable(m.location).c_str());
  for (const auto& f : r.unlisted) std::printf("not listed: %s\n", Printable(f).c_str());
  for (const auto& f : r.leftovers)
    std::printf("left by an interrupted write: %s\n", Printable(f).c_str());
  for (const auto& e : r.unreadable)
    std::printf("not read: %s: %s\n", Printable(e.path).c_str(), e.reason.c_str());
  if (r.stale_lock) std::printf("lock left by a program that was stopped\n");
  std::printf("%zu tracks without their file, %zu files no track lists, %zu leftover files%s\n",
              r.missing.size(), r.unlisted.size(), r.leftovers.size(),
              r.in_step() ? ": in step" : "");
  ArtworkInfo art;
  (void)lib_->GetArtworkInfo(&art);
  if (!art.problem.empty()) std::printf("covers: %s\n", Printable(art.problem).c_str());
  if (art.unused_bytes > 0)
    std::printf("covers: %.1f MB of %.1f MB in the artwork files unused\n",
                static_cast<double>(art.unused_bytes) / 1e6, static_cast<double>(art.file_bytes) / 1e6);
  if (!repair) return r.in_step() && art.problem.empty() ? kExitOK : kExitFailed;
  // The artwork files are compacted (or a damaged index set aside) first;
  // the write below then clears the covers such an index named.
  int64_t freed = 0;
  if (Status st = lib_->CompactArtwork(&freed); !st.ok()) Fail(st, "the artwork files were not compacted");
  if (freed > 0) std::printf("covers: %.1f MB given back\n", static_cast<double>(freed) / 1e6);
  const bool covers_reset = !art.problem.empty();

  // The lock taken above replaced a stale one, and the write below removes
  // the leftovers; the rest is mended here.
  size_t removed = 0, entered = 0, deleted = 0, left = r.unreadable.size();
  for (const auto& m : r.missing) {
    std::string ignored;
    removed += lib_->MarkDeleted(m.id, &ignored).ok();
  }
  for (const std::string& f : r.unlisted) {
    if (!adopt) continue;
    TrackInfo info;
    Tags tags;
    int32_t id = 0;
    Status st = lib_->Probe(f, &info, &tags);
    if (st.ok() && !info.isFileSupported) st = Status::Unsupported("The file is not supported: " + f);
    if (st.ok()) st = lib_->Add(f, info, AddOptions{false, f, 0, tags}, &id);
    if (st.ok()) {
      ++entered;
    } else {
      std::printf("  not entered: %s: %s\n", Printable(f).c_str(), st.message().c_str());
      ++left;
    }
  }
  if (removed + entered > 0 || !r.leftovers.empty() || covers_reset) {
    if (int w = Write(); w != kExitOK) return w;
  }
  for (const std::string& f : r.unlisted) {
    if (!remove) continue;
    if (Status st = lib_->RemoveMusicFile(f); st.ok()) {
      ++deleted;
    } else {
      std::printf("  not deleted: %s: %s\n", Printable(f).c_str(), st.message().c_str());
      ++left;
    }
  }
  if (!adopt && !remove) left += r.unlisted.size();
  std::printf("repaired: %zu tracks removed, %zu files entered, %zu files deleted; %zu left as "
              "they are\n",
              removed, entered, deleted, left);
  return left ? kExitPartial : kExitOK;
}

}  // namespace
}  // namespace cadenza::cli

namespace cadenza::cli {
namespace {

// Everything the command line says, filled by the parser.
void AddPlaylistCommands(CLI::App* pl, PlaylistArgs& a, ImportOptions& how) {
  pl->require_subcommand(1);
  auto act = [&](const char* name, const char* what) {
    CLI::App* c = pl->add_subcommand(name, what);
    c->callback([&a, name] { a.action = name; });
    return c;
  };
  act("new", "make an empty playlist")->add_option("NAME", a.name)->required();
  auto* rename = act("rename", "rename a playlist");
  rename->add_option("OLD", a.name)->required();
  rename->add_option("NEW", a.new_name)->required();
  act("rm", "delete a playlist (its tracks stay)")->add_option("NAME", a.name)->required();
  for (const char* name : {"add", "remove"}) {
    auto* c = act(name, name[0] == 'a' ? "append tracks to a playlist"
                                       : "take tracks out of a playlist (every time they appear)");
    c->add_option("NAME", a.name)->required();
    c->add_option("ID", a.ids, "track ids")->required();
  }
  auto* move = act("move", "move a track to a position (1 is the first)");
  move->add_option("NAME", a.name)->required();
  move->add_option("ID", a.move_id, "track id")->required();
  move->add_option("POSITION", a.position)->required()->check(CLI::Range(1, 0x7FFFFFFF));
  act("show", "list a playlist's tracks in order")->add_option("NAME", a.name)->required();
  auto* import = act("import", "make a playlist from an .m3u/.m3u8 file, importing files not on the iPod");
  import->add_option("FILE", a.file)->required();
  import->add_option("--name", a.name, "the playlist's name (default: the file's name)");
  import->add_flag("--allow-duplicates", how.allow_duplicates, "import files that are on the iPod already");
  auto* exp = act("export", "write a playlist as an .m3u8 file with the tracks' paths");
  exp->add_option("NAME", a.name)->required();
  exp->add_option("FILE", a.file)->required();
  for (CLI::App* c : pl->get_subcommands({})) c->fallthrough();
}

struct Args {
  Global g;
  std::string init_dir;
  int32_t show_id = 0, edit_id = 0;
  std::vector<std::string> add_inputs, probe_files;
  std::vector<int32_t> rm_ids;
  TrackEdit edit;
  std::optional<int> skip_shuffle, remember_pos;
  bool repair = false, adopt = false, remove = false, verbose = false;
  ImportOptions import;
  bool no_convert = false;
  std::string track_pos, disc_pos;  // "N" or "N/M"
  std::optional<int> compilation;
  std::string export_dir;
  std::vector<int32_t> export_ids;
  ExportOptions export_how;
  bool export_keep_tags = false;
  std::string add_playlist;
  PlaylistArgs playlist;
  std::string plays_since, scrobbler_log;
  bool plays_clear = false;
  bool no_art = false;
  int32_t art_id = 0;
  std::string art_out, art_album;
  std::vector<std::string> art_args;
  std::map<std::string, CLI::App*> cmd;
};

// "N" or "N/M" (either may be empty: "/12" sets only the total) into the
// number and the total of an edit.
bool ParsePosition(const std::string& text, std::optional<int32_t>* number,
                   std::optional<int32_t>* count) {
  if (text.empty()) return true;
  const size_t slash = text.find('/');
  auto parse = [](const std::string& t, std::optional<int32_t>* out) {
    if (t.empty()) return true;
    if (t.size() > 5 || t.find_first_not_of("0123456789") != std::string::npos) return false;
    *out = std::stoi(t);
    return true;
  };
  return parse(text.substr(0, slash), number) &&
         (slash == std::string::npos || parse(text.substr(slash + 1), count));
}

void AddGlobalOptions(CLI::App& cli, Global& g) {
  cli.add_option("--device", g.device, "mount point of the iPod (found automatically when omitted)");
  cli.add_flag("--json", g.json, "print full records as JSON (streamed as it is produced)");
  cli.add_flag("--jsonl", g.jsonl, "print listings as JSON lines, one record per line");
  cli.set_version_flag("--version", std::string("cadenza ") + CADENZA_VERSION_STRING);
  cli.add_flag("--no-images", g.no_images, "leave the raw chunk images out of --json output");
  auto* yes = cli.add_flag("--yes", g.yes, "answer yes to every question");
  cli.add_flag("--no", g.no, "answer no to every question")->excludes(yes);
  cli.add_option("--wait", g.wait_s,
                 "seconds to wait for another program that is changing the iPod (default 3)")
      ->check(CLI::Range(0.0, 3600.0));
}

void AddEditOptions(CLI::App* ed, Args& a) {
  ed->add_option("ID", a.edit_id, "track id")->required();
  ed->add_option("--title", a.edit.title);
  ed->add_option("--artist", a.edit.artist);
  ed->add_option("--album", a.edit.album);
  ed->add_option("--genre", a.edit.genre);
  ed->add_option("--comment", a.edit.comment);
  ed->add_option("--composer", a.edit.composer);
  ed->add_option("--year", a.edit.year, "a year from 0 to 9999, or \"\" to clear it")
      ->check(CLI::Validator(
          [](std::string& y) {
            const bool digits = y.size() <= 4 && std::all_of(y.begin(), y.end(), [](char c) {
                                  return c >= '0' && c <= '9';
                                });
            return digits ? std::string() : "a year is a whole number from 0 to 9999";
          },
          "YEAR"));
  constexpr int32_t kMaxMs = 0x7FFFFFFF;
  ed->add_option("--start", a.edit.start_ms, "start position in ms")->check(CLI::Range(0, kMaxMs));
  ed->add_option("--stop", a.edit.stop_ms, "stop position in ms (0: the end)")
      ->check(CLI::Range(0, kMaxMs));
  ed->add_option("--album-artist", a.edit.album_artist, "\"\" removes it");
  ed->add_option("--track", a.track_pos, "track number, or N/TOTAL (0 clears)");
  ed->add_option("--disc", a.disc_pos, "disc number, or N/TOTAL (0 clears)");
  ed->add_option("--compilation", a.compilation, "1 or 0")->check(CLI::Range(0, 1));
  ed->add_option("--bpm", a.edit.bpm, "beats per minute, 0 to 65535")->check(CLI::Range(0, 65535));
  ed->add_option("--rating", a.edit.rating, "stars, 0 to 5")->check(CLI::Range(0, 5));
  ed->add_option("--skip-when-shuffling", a.skip_shuffle, "1 or 0")->check(CLI::Range(0, 255));
  ed->add_option("--remember-position", a.remember_pos, "1 or 0")->check(CLI::Range(0, 255));
}

void AddCommands(CLI::App& cli, Args& a) {
  auto sub = [&](const char* name, const char* what) { return a.cmd[name] = cli.add_subcommand(name, what); };
  sub("info", "show the database header and counts");
  sub("tracks", "list the tracks");
  sub("playlists", "list the playlists");
  sub("podcasts", "list the podcast playlists");
  sub("write", "load the database and write it back");
  sub("reset", "install an empty database (asks first)");
  sub("init", "make a folder a fresh device")
      ->add_option("DIR", a.init_dir, "folder to make a device")->required();
  sub("show", "describe one track")->add_option("ID", a.show_id, "track id")->required();
  auto* add = sub("add", "import media files and folders (converting what the iPod cannot play)");
  add->add_option("FILE", a.add_inputs, "files or folders")->required();
  add->add_option("--bitrate", a.import.bitrate_kbps, "AAC bit rate of conversions in kb/s (256)")
      ->check(CLI::Range(32, 320));
  auto* lossless = add->add_flag("--lossless", a.import.lossless,
                                 "convert to Apple Lossless instead of AAC");
  add->add_flag("--no-convert", a.no_convert, "refuse files the iPod cannot play instead of converting them")
      ->excludes(lossless);
  add->add_flag("--convert-video", a.import.convert_video,
                "convert videos the iPod cannot play to H.264 Baseline at an iPod size");
  add->add_flag("--allow-duplicates", a.import.allow_duplicates,
                "import files that are on the iPod already");
  add->add_flag("--no-art", a.no_art, "leave the covers of the files out");
  add->add_option("--playlist", a.add_playlist,
                  "also put the files (new or already there) into this playlist, made when missing");
  AddPlaylistCommands(sub("playlist", "make, change, show, import and export playlists"), a.playlist,
                      a.import);
  auto* plays = sub("plays", "list the plays the iPod recorded (kept since the last --clear)");
  plays->add_option("--since", a.plays_since, "only plays from DATE on (YYYY-MM-DD[THH:MM[:SS]])");
  plays->add_option("--scrobbler-log", a.scrobbler_log,
                    "also write them as a .scrobbler.log (AUDIOSCROBBLER/1.1) for scrobbling tools");
  plays->add_flag("--clear", a.plays_clear, "then empty the play log (all of it, --since or not)");
  auto* exp = sub("export", "copy tracks from the iPod into a folder (never changes the iPod)");
  exp->add_option("DIR", a.export_dir, "folder to export into")->required();
  exp->add_option("ID", a.export_ids, "track ids (all when none)");
  exp->add_option("--pattern", a.export_how.pattern,
                  "names below DIR: {album_artist} {artist} {album} {title} {track} {disc} {year} "
                  "{genre} {id}; default \"{album_artist}/{album}/{track} {title}\"");
  exp->add_flag("--playlists", a.export_how.playlists, "also write each playlist as an .m3u8 file");
  exp->add_flag("--keep-tags", a.export_keep_tags, "copy the files as they are, without writing tags");
  auto* art = sub("art", "write a track's cover as PNG (--out), or change covers (set, rm)");
  art->add_option("ID", a.art_id, "track id");
  art->add_option("--out", a.art_out, "PNG file for the cover");
  auto* art_set = art->add_subcommand("set", "give a track (or --album) a cover from a JPEG or PNG");
  art_set->add_option("ARGS", a.art_args, "ID IMAGE, or IMAGE with --album")->required();
  art_set->add_option("--album", a.art_album, "every track of this album");
  art->add_subcommand("rm", "remove a track's cover")
      ->add_option("ID", a.art_args, "track id")
      ->required();
  sub("dupes", "list tracks that duplicate each other");
  sub("rm", "delete tracks (and their files)")->add_option("ID", a.rm_ids, "track ids")->required();
  AddEditOptions(sub("edit", "change a track's tags"), a);
  sub("rebuild", "rebuild the database from the device's media files (asks first)");
  auto* check =
      sub("check", "report tracks without their file, files no track lists, and what crashes left");
  auto* repair = check->add_flag("--repair", a.repair, "remove tracks whose file is gone, and leftovers");
  auto* adopt = check->add_flag("--adopt", a.adopt, "with --repair: enter the files no track lists");
  check->add_flag("--remove", a.remove, "with --repair: delete the files no track lists")
      ->excludes(adopt)
      ->needs(repair);
  adopt->needs(repair);
  sub("detect", "print the iPod's mount point");
  auto* probe = sub("probe", "describe media files");
  probe->add_option("FILE", a.probe_files)->required();
  probe->add_flag("--verbose", a.verbose, "also show what each reader found");
  // The options of the tool are taken after the command too
  // (`cadenza tracks --json` as well as `cadenza --json tracks`).
  for (auto& [name, c] : a.cmd) c->fallthrough();
}

int Dispatch(Args& a) {
  auto is = [&](const char* name) { return a.cmd.at(name)->parsed(); };
  const auto art_action = [&]() -> std::string {
    for (const char* action : {"set", "rm"})
      if (a.cmd.at("art")->get_subcommand(action)->parsed()) return action;
    return "";
  }();
  const bool writes = !art_action.empty() || is("write") || is("reset") || is("init") || is("add") || is("rm") ||
                      is("edit") || is("rebuild") || a.repair || is("plays") ||
                      (is("playlist") && a.playlist.action != "show" && a.playlist.action != "export");
  App app(a.g, writes);
  if (a.skip_shuffle) a.edit.skip_when_shuffling = static_cast<uint8_t>(*a.skip_shuffle);
  if (a.remember_pos) a.edit.remember_position = static_cast<uint8_t>(*a.remember_pos);
  if (a.compilation) a.edit.compilation = *a.compilation != 0;
  if (!ParsePosition(a.track_pos, &a.edit.track_number, &a.edit.track_count) ||
      !ParsePosition(a.disc_pos, &a.edit.disc_number, &a.edit.disc_count)) {
    std::cerr << "cadenza: --track and --disc take N or N/TOTAL\n";
    return kExitUsage;
  }
  a.import.convert = !a.no_convert;
  a.import.covers = !a.no_art;
  a.export_how.write_tags = !a.export_keep_tags;
  if (is("info")) return app.Info();
  if (is("tracks")) return app.Tracks();
  if (is("playlists")) return app.Playlists(false);
  if (is("podcasts")) return app.Playlists(true);
  if (is("write")) return app.WriteBack();
  if (is("reset")) return app.Reset();
  if (is("init")) return app.Init(a.init_dir);
  if (is("show")) return app.Show(a.show_id);
  if (is("add")) return app.Add(a.add_inputs, a.import, a.add_playlist);
  if (is("playlist"))
    return a.playlist.action == "show" ? app.PlaylistShow(a.playlist.name)
                                       : app.PlaylistEdit(a.playlist, a.import);
  if (is("plays")) return app.Plays(a.plays_since, a.plays_clear, a.scrobbler_log);
  if (is("export")) return app.Export(a.export_dir, a.export_ids, a.export_how);
  if (is("art"))
    return art_action.empty() ? app.ArtShow(a.art_id, a.art_out)
                              : app.ArtChange(art_action, a.art_args, a.art_album);
  if (is("dupes")) return app.Dupes();
  if (is("rm")) return app.Remove(a.rm_ids);
  if (is("edit")) return app.Modify(a.edit_id, a.edit);
  if (is("rebuild")) return app.Rebuild();
  if (is("check")) return app.Check(a.repair, a.adopt, a.remove);
  if (is("detect")) return app.Detect();
  if (is("probe")) return app.Probe(a.probe_files, a.verbose);
  return kExitUsage;
}

}  // namespace
}  // namespace cadenza::cli

#ifdef _WIN32
// The arguments as UTF-8, from the wide command line (the narrow argv holds
// them in the ANSI code page, which cannot spell every file name), and the
// console set to show UTF-8.
static std::vector<std::string> Utf8Arguments() {
  std::vector<std::string> out;
  int n = 0;
  if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n)) {
    for (int i = 0; i < n; ++i) out.push_back(cadenza::WideToUtf8(wide[i]));
    LocalFree(wide);
  }
  return out;
}
#endif

int main(int argc, char** argv) {
  using namespace cadenza::cli;
#ifdef _WIN32
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::string> utf8_args = Utf8Arguments();
  std::vector<char*> utf8_argv;
  for (std::string& a : utf8_args) utf8_argv.push_back(a.data());
  utf8_argv.push_back(nullptr);
  if (!utf8_args.empty()) {
    argc = static_cast<int>(utf8_args.size());
    argv = utf8_argv.data();
  }
#endif
  CLI::App cli{"cadenza: manage the music database of an iPod mounted as a disk"};
  cli.footer(kExitCodes);
  cli.require_subcommand(1);
  Args args;
  AddGlobalOptions(cli, args.g);
  AddCommands(cli, args);
  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help is a success; every other complaint about the command line is a
    // usage error.
    return cli.exit(e) == 0 ? kExitOK : kExitUsage;
  }
  return Dispatch(args);
}
