// cadenza: the command-line tool.
//
//   cadenza [--device DIR] [--json] [--yes|--no] COMMAND ...
//
// DIR is the mount point of the iPod (or of a folder made by `cadenza
// init`). Without --device the iPod is looked for among the mounted disks.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>

#include "cadenza/cadenza.h"
#include "cli/json.h"
#include "component/check.h"
#include "component/track_text.h"
#include "cli/terminal_host.h"
#include "device/device_info.h"
#include "media/avi_delay.h"
#include "media/id3.h"
#include "media/mpeg_audio.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace cadenza::cli {
namespace {

namespace stdfs = std::filesystem;

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

int Fail(const clsCadenza& c, const std::string& what) {
  std::cerr << "cadenza: " << what;
  if (!c.status().ok()) std::cerr << ": " << c.status().message();
  std::cerr << "\n";
  return ExitFor(c.status());
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

// Cuts UTF-8 text to a column width (in code points).
std::string Col(const std::string& s, size_t w) {
  std::string t = Utf8Prefix(Printable(s), w);
  size_t n = Utf8Length(t);
  return t + std::string(w > n ? w - n : 0, ' ');
}

Options OptionsFor(const Global& g, bool writes) {
  Options o;
  // Only commands that change the device repair it; they hold its lock.
  o.offer_repair = writes;
  o.lock_wait_ms = static_cast<int>(g.wait_s * 1000);
  return o;
}

class App {
 public:
  // `writes`: the command changes the device.
  App(Global g, bool writes)
      : g_(std::move(g)),
        host_(g_.yes ? TerminalHost::Answer::kYes
                     : g_.no ? TerminalHost::Answer::kNo : TerminalHost::Answer::kAsk),
        c_(&host_, OptionsFor(g_, writes)) {}

  // Sets the device root (detecting it when none was given).
  bool Open() {
    c_.initlaize(0, "cadenza", g_.device);
    if (c_.iPodDriveLetter().empty()) {
      std::cerr << "cadenza: no iPod found; give its mount point with --device DIR\n";
      return false;
    }
    return true;
  }

  bool Load() {
    if (c_.iPodDriveLetter().empty() && !Open()) return false;
    if (!c_.LoadiPodDB()) {
      Fail(c_, "cannot load the iPod database");
      const auto code = c_.status().code();
      if (code == Status::Code::kCorrupt ||
          (code == Status::Code::kNotFound && c_.status().number() != 76))
        std::cerr << "cadenza: `cadenza rebuild` or `cadenza reset` repairs it\n";
      return false;
    }
    return true;
  }

  // Commands that change the device hold its lock from before they load the
  // database until after they have written it; a second one waits for
  // --wait seconds, then gives up and changes nothing.
  int Lock() {
    if (!Open()) return kExitFailed;
    Status st = c_.LockDevice();
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
    return Load() ? Write() : ExitFor(c_.status());
  }

  int Write() {
    c_.WriteiPodDB();
    if (!c_.status().ok()) return Fail(c_, "the database was not written");
    return kExitOK;
  }

  int Info() {
    if (!Load()) return kExitFailed;
    MHBD h = c_.GetDBInfo();
    MHSD_T t = c_.GetAllTracks();
    MHSD_P p = c_.GetAllPlayLists(), pc = c_.GetAllPodcasts();
    DeviceInfo dev = ReadDeviceInfo(c_.iPodDriveLetter());
    if (g_.json) {
      Json j;
      j["device"] = c_.iPodDriveLetter();
      j["model"] = dev.DeviceName();
      j["model_number"] = dev.model_number;
      j["checksum"] = SchemeName(dev.scheme);
      j["checksum_source"] = SourceName(dev.scheme_source);
      j["guid"] = dev.guid;
      j["guid_source"] = SourceName(dev.guid_source);
      j["writable"] = dev.refusal.ok();
      j["header"] = ToJson(h, {false});
      j["tracks"] = t.m_mhlt.iNumberOfllTracks;
      j["playlists"] = p.m_mhlp.iNumberOfPlaylists;
      j["podcasts"] = pc.m_mhlp.iNumberOfPlaylists;
      PrintJson(j);
      return kExitOK;
    }
    std::printf("Device:      %s\n", c_.iPodDriveLetter().c_str());
    std::printf("Version:     0x%x\n", static_cast<unsigned>(h.iVersion));
    std::printf("Sections:    %d\n", h.iNumberOfMHSD);
    std::printf("Library id:  %s\n", Hex(h.sLibraryID).c_str());
    std::printf("File size:   %d bytes\n", h.iTotalSize);
    std::printf("Tracks:      %d\n", t.m_mhlt.iNumberOfllTracks);
    std::printf("Playlists:   %d\n", p.m_mhlp.iNumberOfPlaylists);
    std::printf("Podcasts:    %d\n", pc.m_mhlp.iNumberOfPlaylists);
    std::printf("%s", DescribeDevice(dev).c_str());
    return kExitOK;
  }

  int Tracks() {
    if (!Load()) return kExitFailed;
    MHSD_T t = c_.GetAllTracks();
    if (g_.json) {
      PrintJson(ToJson(t, {!g_.no_images}));
      return kExitOK;
    }
    std::printf("%6s  %s  %s  %s  %6s  %s\n", "ID", Col("Title", 30).c_str(),
                Col("Artist", 20).c_str(), Col("Album", 20).c_str(), "Length", "Location");
    for (const MHIT& k : t.m_mhlt.m_mhit) {
      std::map<int32_t, std::string> s;
      for (const MHOD_S& o : k.m_mhod)
        if (o.sAllMHOD.empty() && !s.count(o.iType)) s[o.iType] = Text(o);
      std::printf("%6d  %s  %s  %s  %6s  %s\n", k.iUniqueID, Col(s[1], 30).c_str(),
                  Col(s[4], 20).c_str(), Col(s[3], 20).c_str(),
                  Length(k.iTrackTimeLength).c_str(), Printable(s[2]).c_str());
    }
    return kExitOK;
  }

  int Playlists(bool podcasts) {
    if (!Load()) return kExitFailed;
    MHSD_P p = podcasts ? c_.GetAllPodcasts() : c_.GetAllPlayLists();
    if (g_.json) {
      PrintJson(ToJson(p, {!g_.no_images}));
      return kExitOK;
    }
    std::printf("%s  %6s  %s\n", Col("Name", 40).c_str(), "Items", "Master");
    for (const MHYP& y : p.m_mhlp.m_mhyp) {
      std::printf("%s  %6d  %s\n", Col(Text(y.m_mhod_s), 40).c_str(),
                  y.iPlaylistItemsCount - y.iMHYPs2Delete, y.iIsMasterFLag ? "yes" : "");
    }
    return kExitOK;
  }

  int Reset() {
    if (!Open()) return kExitFailed;
    TerminalHost::InstallInterruptHandler();
    if (host_.MessageBox("Replace the iPod database on " + c_.iPodDriveLetter() +
                             " with an empty one? Every track entry is lost; the media files "
                             "stay on the device.",
                         "", kMsgYesNo | kMsgExclamation) != kAnswerYes)
      return kExitFailed;
    if (!c_.ResetiPodDB()) return Fail(c_, "the database was not reset");
    return kExitOK;
  }

  int Init(const std::string& dir) {
    std::error_code ec;
    stdfs::create_directories(dir, ec);
    if (ec) {
      std::cerr << "cadenza: cannot create " << dir << ": " << ec.message() << "\n";
      return kExitFailed;
    }
    c_.initlaize(0, "cadenza", dir);
    std::string db = fs::DevicePath(c_.iPodDriveLetter(), "iPod_Control\\iTunes\\iTunesDB");
    if (fs::FileExists(db) &&
        host_.MessageBox(dir + " already holds an iPod database. Replace it with an empty one?",
                         "", kMsgYesNo | kMsgExclamation) != kAnswerYes)
      return kExitFailed;
    if (!c_.ResetiPodDB()) return Fail(c_, "cannot install the empty database");
    fs::CreateFolders(fs::DevicePath(c_.iPodDriveLetter(), "iPod_Control\\Music"));
    std::printf("%s is ready\n", c_.iPodDriveLetter().c_str());
    return kExitOK;
  }

  int Show(int32_t id) {
    if (!Load()) return kExitFailed;
    TrackInfo info = c_.GetTrackInfo(id);
    if (!c_.status().ok()) return Fail(c_, "no track " + std::to_string(id));
    PrintInfo(info);
    return kExitOK;
  }

  void PrintInfo(const TrackInfo& i) {
    if (g_.json) {
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
    if (!Load()) return ExitFor(c_.status());
    std::vector<std::string> files;
    size_t problems = 0, marked = 0;
    for (int32_t id : ids) {
      std::string file;
      if (!c_.MarkTrackDeleted(id, &file).ok()) {
        Fail(c_, "track " + std::to_string(id));
        ++problems;
        continue;
      }
      ++marked;
      if (!file.empty()) files.push_back(file);
    }
    if (marked == 0) return kExitFailed;
    if (int w = Write(); w != kExitOK) return w;
    for (const std::string& f : files) {
      Status st = c_.RemoveMusicFile(f);
      if (st.ok() || st.code() == Status::Code::kNotFound) continue;
      std::cerr << "cadenza: the track was deleted but its file was kept: " << st.message() << "\n";
      ++problems;
    }
    return problems ? kExitPartial : kExitOK;
  }

  struct Edit {
    std::optional<std::string> title, artist, album, genre, comment, composer, year;
    std::optional<int32_t> start, stop;
    std::optional<int> skip_shuffle, remember_pos;
  };

  int Modify(int32_t id, const Edit& e) {
    if (int rc = Lock(); rc != kExitOK) return rc;
    if (!Load()) return ExitFor(c_.status());
    TrackInfo info = c_.GetTrackInfo(id);
    if (!c_.status().ok()) return Fail(c_, "no track " + std::to_string(id));
    const int32_t start = e.start.value_or(info.iStartTime), stop = e.stop.value_or(info.iStopTime);
    if (stop != 0 && stop < start) {
      std::cerr << "cadenza: the stop position (" << stop << " ms) lies before the start (" << start
                << " ms); nothing was changed\n";
      return kExitUsage;
    }
    // Text given here obeys the same cap as text read from a file's tags.
    auto set = [](std::string& field, const std::optional<std::string>& given) {
      if (given) field = Utf16ToUtf8(ToObjectText(*given, kMaxNewText));
    };
    set(info.sTitle, e.title);
    set(info.sArtist, e.artist);
    set(info.sAlbum, e.album);
    set(info.sGenre, e.genre);
    set(info.sComment, e.comment);
    set(info.sComposer, e.composer);
    if (e.year) info.sYear = *e.year;
    if (e.start) info.iStartTime = *e.start;
    if (e.stop) info.iStopTime = *e.stop;
    if (e.skip_shuffle) info.iSkipWhenShuffle = static_cast<uint8_t>(*e.skip_shuffle);
    if (e.remember_pos) info.iRememberPlayBackPos = static_cast<uint8_t>(*e.remember_pos);
    c_.ModifyTrack(id, info);
    if (!c_.status().ok()) return Fail(c_, "track " + std::to_string(id));
    return Write();
  }

  int Add(const std::vector<std::string>& inputs);
  // A rebuild throws away every edit and playlist, so it asks first. It is
  // built in memory and written at its end: Ctrl-C or a kill before then
  // leaves the database as it was.
  int Rebuild() {
    if (!Open()) return kExitFailed;
    if (host_.MessageBox("Rebuild the iPod database on " + c_.iPodDriveLetter() +
                             " from the media files on it? Every track entry, playlist and edit "
                             "is replaced; the media files stay.",
                         "", kMsgYesNo | kMsgExclamation) != kAnswerYes) {
      std::cerr << "cadenza: nothing was changed\n";
      return kExitFailed;
    }
    bool ok = c_.ReBuildDB();
    if (!ok) return Fail(c_, "the rebuild failed");
    return kExitOK;
  }
  int Check(bool repair, bool adopt, bool remove);
  int Detect() {
    std::string root = c_.GetiPodDriveString(0, "cadenza", false);
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
  TerminalHost host_;
  clsCadenza c_;
};

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

std::vector<Input> CollectFiles(const std::vector<std::string>& inputs, std::vector<Left>* problems) {
  std::vector<Input> out;
  for (const std::string& in : inputs) {
    std::error_code ec;
    const auto st = stdfs::status(in, ec);
    if (stdfs::is_directory(st)) {
      std::vector<fs::WalkError> errors;
      for (std::string& f : fs::WalkFiles(in, &errors)) out.push_back({std::move(f), false});
      for (fs::WalkError& e : errors) problems->push_back({e.path, "folder not read: " + e.reason});
    } else if (!stdfs::exists(st)) {
      problems->push_back({in, ec ? ec.message() : "No such file or directory"});
    } else {
      out.push_back({in, true});
    }
  }
  return out;
}

int App::Add(const std::vector<std::string>& inputs) {
  std::vector<Left> failed, skipped;
  const std::vector<Input> files = CollectFiles(inputs, &failed);
  if (int rc = Lock(); rc != kExitOK) return rc;
  if (!Load()) return ExitFor(c_.status());
  uint64_t total = 0, done = 0;
  for (const auto& f : files)
    total += static_cast<uint64_t>(std::max<int64_t>(fs::FileSize(f.path), 0));
  std::vector<std::string> copied;  // the files this run put on the device
  bool interrupted = false, full = false;
  size_t i = 0;
  for (; i < files.size(); ++i) {
    const Input& in = files[i];
    host_.SetImportProgress(i, files.size(), done, total);
    if (host_.interrupted()) {
      interrupted = true;
      break;
    }
    TrackInfo info;
    int32_t id = c_.AddTrack(in.path, info);
    done += static_cast<uint64_t>(std::max<int64_t>(fs::FileSize(in.path), 0));
    if (id > 0) {
      copied.push_back(c_.GetTrackInfo(id).sLocation);
      continue;
    }
    std::string why = c_.status().message();
    const auto code = c_.status().code();
    if (code == Status::Code::kCancelled) {
      interrupted = true;
      break;
    }
    if (id == -2 && (!info.sVideoCodec.empty() || !info.sAudioCodec.empty()))
      why = "video " + (info.sVideoCodec.empty() ? "none" : info.sVideoCodec) + ", audio " +
            (info.sAudioCodec.empty() ? "none" : info.sAudioCodec) + " is not supported";
    // Files of kinds the iPod does not play, met in a folder, are passed
    // over; anything named, or of a kind it plays, should have come in.
    if (id == -2 && info.sFiletype.empty() && code == Status::Code::kUnsupported) {
      why = "not a kind of file the iPod plays";
      (in.named ? failed : skipped).push_back({in.path, why});
    } else {
      failed.push_back({in.path, why});
    }
    if (code == Status::Code::kNoSpace || code == Status::Code::kBusy) {
      // The iPod is full (or taken over): the rest is not copied.
      full = code == Status::Code::kNoSpace;
      for (++i; i < files.size(); ++i) failed.push_back({files[i].path, "not copied"});
      break;
    }
  }
  host_.ClearProgress();
  std::printf("%zu added, %zu not supported, %zu failed%s\n", copied.size(), skipped.size(),
              failed.size(), interrupted ? " (interrupted)" : full ? " (the iPod is full)" : "");
  for (const auto& [f, why] : skipped)
    std::printf("  not supported: %s: %s\n", Printable(f).c_str(), why.c_str());
  for (const auto& [f, why] : failed)
    std::printf("  failed: %s: %s\n", Printable(f).c_str(), Printable(why).c_str());
  std::fflush(stdout);
  if (!copied.empty()) {
    if (int w = Write(); w != kExitOK) {
      // Nothing unlisted stays behind: the files copied for the database
      // that could not be written go again.
      size_t removed = 0;
      for (const std::string& f : copied) removed += c_.RemoveMusicFile(f).ok();
      std::cerr << "cadenza: the " << removed << " files copied by this run were removed again\n";
      return w;
    }
  }
  if (interrupted) return kExitInterrupted;
  if (copied.empty()) return kExitFailed;
  return failed.empty() ? kExitOK : kExitPartial;
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
    if (!c_.SetTrackInfo(f, info) || !info.isFileSupported) {
      std::cerr << "cadenza: " << Printable(f) << ": "
                << (c_.status().ok() ? std::string("not a kind of file the iPod plays")
                                     : c_.status().message())
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
  if (!Load()) return ExitFor(c_.status());
  const DeviceCheck r = CheckDevice(c_.iPodDriveLetter(), c_.GetAllTracks().m_mhlt);
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
  if (!repair) return r.in_step() ? kExitOK : kExitFailed;

  // The lock taken above replaced a stale one, and the write below removes
  // the leftovers; the rest is mended here.
  size_t removed = 0, entered = 0, deleted = 0, left = r.unreadable.size();
  for (const auto& m : r.missing) {
    std::string ignored;
    removed += c_.MarkTrackDeleted(m.id, &ignored).ok();
  }
  for (const std::string& f : r.unlisted) {
    if (!adopt) continue;
    TrackInfo info;
    if (c_.AddTrack(f, info, true, f) > 0) {
      ++entered;
    } else {
      std::printf("  not entered: %s: %s\n", Printable(f).c_str(), c_.status().message().c_str());
      ++left;
    }
  }
  if (removed + entered > 0 || !r.leftovers.empty()) {
    if (int w = Write(); w != kExitOK) return w;
  }
  for (const std::string& f : r.unlisted) {
    if (!remove) continue;
    if (c_.RemoveMusicFile(f).ok()) {
      ++deleted;
    } else {
      std::printf("  not deleted: %s: %s\n", Printable(f).c_str(), c_.status().message().c_str());
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

int main(int argc, char** argv) {
  using namespace cadenza::cli;
  CLI::App cli{"cadenza: manage the music database of an iPod mounted as a disk"};
  cli.footer(kExitCodes);
  cli.require_subcommand(1);
  Global g;
  cli.add_option("--device", g.device, "mount point of the iPod (found automatically when omitted)");
  cli.add_flag("--json", g.json, "print full records as JSON");
  cli.add_flag("--no-images", g.no_images, "leave the raw chunk images out of --json output");
  auto* yes = cli.add_flag("--yes", g.yes, "answer yes to every question");
  cli.add_flag("--no", g.no, "answer no to every question")->excludes(yes);
  cli.add_option("--wait", g.wait_s,
                 "seconds to wait for another program that is changing the iPod (default 3)")
      ->check(CLI::Range(0.0, 3600.0));

  auto* info = cli.add_subcommand("info", "show the database header and counts");
  auto* tracks = cli.add_subcommand("tracks", "list the tracks");
  auto* playlists = cli.add_subcommand("playlists", "list the playlists");
  auto* podcasts = cli.add_subcommand("podcasts", "list the podcast playlists");
  auto* write = cli.add_subcommand("write", "load the database and write it back");
  auto* reset = cli.add_subcommand("reset", "install an empty database (asks first)");
  std::string init_dir;
  auto* init = cli.add_subcommand("init", "make a folder a fresh device");
  init->add_option("DIR", init_dir, "folder to make a device")->required();
  int32_t show_id = 0;
  auto* show = cli.add_subcommand("show", "describe one track");
  show->add_option("ID", show_id, "track id")->required();
  std::vector<std::string> add_inputs;
  auto* add = cli.add_subcommand("add", "import media files and folders");
  add->add_option("FILE", add_inputs, "files or folders")->required();
  std::vector<int32_t> rm_ids;
  auto* rm = cli.add_subcommand("rm", "delete tracks (and their files)");
  rm->add_option("ID", rm_ids, "track ids")->required();
  int32_t edit_id = 0;
  App::Edit edit;
  auto* ed = cli.add_subcommand("edit", "change a track's tags");
  ed->add_option("ID", edit_id, "track id")->required();
  ed->add_option("--title", edit.title);
  ed->add_option("--artist", edit.artist);
  ed->add_option("--album", edit.album);
  ed->add_option("--genre", edit.genre);
  ed->add_option("--comment", edit.comment);
  ed->add_option("--composer", edit.composer);
  ed->add_option("--year", edit.year, "a year from 0 to 9999, or \"\" to clear it")
      ->check(CLI::Validator(
          [](std::string& y) {
            const bool digits = y.size() <= 4 && std::all_of(y.begin(), y.end(), [](char c) {
                                  return c >= '0' && c <= '9';
                                });
            return digits ? std::string() : "a year is a whole number from 0 to 9999";
          },
          "YEAR"));
  constexpr int32_t kMaxMs = 0x7FFFFFFF;
  ed->add_option("--start", edit.start, "start position in ms")->check(CLI::Range(0, kMaxMs));
  ed->add_option("--stop", edit.stop, "stop position in ms (0: the end)")->check(CLI::Range(0, kMaxMs));
  ed->add_option("--skip-when-shuffling", edit.skip_shuffle, "1 or 0")->check(CLI::Range(0, 255));
  ed->add_option("--remember-position", edit.remember_pos, "1 or 0")->check(CLI::Range(0, 255));
  auto* rebuild =
      cli.add_subcommand("rebuild", "rebuild the database from the device's media files (asks first)");
  bool repair = false, adopt = false, remove = false;
  auto* check = cli.add_subcommand(
      "check", "report tracks without their file, files no track lists, and what crashes left");
  auto* repair_flag = check->add_flag("--repair", repair, "remove tracks whose file is gone, and leftovers");
  auto* adopt_flag = check->add_flag("--adopt", adopt, "with --repair: enter the files no track lists");
  check->add_flag("--remove", remove, "with --repair: delete the files no track lists")
      ->excludes(adopt_flag)
      ->needs(repair_flag);
  adopt_flag->needs(repair_flag);
  auto* detect = cli.add_subcommand("detect", "print the iPod's mount point");
  std::vector<std::string> probe_files;
  bool verbose = false;
  auto* probe = cli.add_subcommand("probe", "describe media files");
  probe->add_option("FILE", probe_files)->required();
  probe->add_flag("--verbose", verbose, "also show what each reader found");

  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help is a success; every other complaint about the command line is a
    // usage error.
    return cli.exit(e) == 0 ? kExitOK : kExitUsage;
  }
  const bool writes = *write || *reset || *init || *add || *rm || *ed || *rebuild || repair;
  App app(g, writes);
  if (*info) return app.Info();
  if (*tracks) return app.Tracks();
  if (*playlists) return app.Playlists(false);
  if (*podcasts) return app.Playlists(true);
  if (*write) return app.WriteBack();
  if (*reset) return app.Reset();
  if (*init) return app.Init(init_dir);
  if (*show) return app.Show(show_id);
  if (*add) return app.Add(add_inputs);
  if (*rm) return app.Remove(rm_ids);
  if (*ed) return app.Modify(edit_id, edit);
  if (*rebuild) return app.Rebuild();
  if (*check) return app.Check(repair, adopt, remove);
  if (*detect) return app.Detect();
  if (*probe) return app.Probe(probe_files, verbose);
  return kExitUsage;
}
