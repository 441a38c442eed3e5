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
constexpr int kExitInterrupted = 130;

struct Global {
  std::string device;
  bool json = false;
  bool no_images = false;
  bool yes = false;
  bool no = false;
};

void PrintJson(const Json& j) {
  std::cout << j.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

int Fail(const clsCadenza& c, const std::string& what) {
  std::cerr << "cadenza: " << what;
  if (!c.status().ok()) std::cerr << ": " << c.status().message();
  std::cerr << "\n";
  return kExitFailed;
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
  std::string t = Utf8Prefix(s, w);
  size_t n = Utf8Length(t);
  return t + std::string(w > n ? w - n : 0, ' ');
}

class App {
 public:
  App(Global g)
      : g_(std::move(g)),
        host_(g_.yes ? TerminalHost::Answer::kYes
                     : g_.no ? TerminalHost::Answer::kNo : TerminalHost::Answer::kAsk),
        c_(&host_) {}

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
    if (!Open()) return false;
    if (!c_.LoadiPodDB()) {
      Fail(c_, "cannot load the iPod database");
      return false;
    }
    return true;
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
                  Length(k.iTrackTimeLength).c_str(), s[2].c_str());
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
    std::string db = fs::DevicePath(c_.iPodDriveLetter(), "iPod_Control\\iTunes\\itunesDB");
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
      std::printf("%-22s %s\n", k.c_str(), val.c_str());
    }
  }

  int Remove(const std::vector<int32_t>& ids) {
    if (!Load()) return kExitFailed;
    int rc = kExitOK;
    for (int32_t id : ids) {
      c_.DeleteTrack(id);
      if (!c_.status().ok()) rc = Fail(c_, "track " + std::to_string(id));
    }
    int w = Write();
    return w != kExitOK ? w : rc;
  }

  struct Edit {
    std::optional<std::string> title, artist, album, genre, comment, composer, year;
    std::optional<int32_t> start, stop;
    std::optional<int> skip_shuffle, remember_pos;
  };

  int Modify(int32_t id, const Edit& e) {
    if (!Load()) return kExitFailed;
    TrackInfo info = c_.GetTrackInfo(id);
    if (!c_.status().ok()) return Fail(c_, "no track " + std::to_string(id));
    if (e.title) info.sTitle = *e.title;
    if (e.artist) info.sArtist = *e.artist;
    if (e.album) info.sAlbum = *e.album;
    if (e.genre) info.sGenre = *e.genre;
    if (e.comment) info.sComment = *e.comment;
    if (e.composer) info.sComposer = *e.composer;
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
  int Rebuild() {
    if (!Open()) return kExitFailed;
    bool ok = c_.ReBuildDB();
    if (!ok) return Fail(c_, "the rebuild failed");
    return kExitOK;
  }
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

// Files to import: the files named and every file below the folders named,
// in name order.
std::vector<std::string> CollectFiles(const std::vector<std::string>& inputs) {
  std::vector<std::string> out;
  for (const std::string& in : inputs) {
    std::error_code ec;
    if (stdfs::is_directory(in, ec)) {
      std::vector<std::string> found;
      for (auto it = stdfs::recursive_directory_iterator(in, ec);
           !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec)) found.push_back(it->path().string());
      std::sort(found.begin(), found.end());
      out.insert(out.end(), found.begin(), found.end());
    } else {
      out.push_back(in);
    }
  }
  return out;
}



int App::Add(const std::vector<std::string>& inputs) {
  std::vector<std::string> files = CollectFiles(inputs);
  if (!Load()) return kExitFailed;
  TerminalHost::InstallInterruptHandler();
  uint64_t total = 0, done = 0;
  for (const auto& f : files) total += static_cast<uint64_t>(std::max<int64_t>(fs::FileSize(f), 0));
  std::vector<std::pair<std::string, std::string>> skipped;
  size_t added = 0, failed = 0;
  bool interrupted = false;
  for (size_t i = 0; i < files.size(); ++i) {
    host_.SetImportProgress(i, files.size(), done, total);
    if (host_.interrupted()) {
      interrupted = true;
      break;
    }
    TrackInfo info;
    int32_t id = c_.AddTrack(files[i], info);
    if (id == -2) {
      std::string why = c_.status().message();
      if (!info.sVideoCodec.empty() || !info.sAudioCodec.empty())
        why = "video " + (info.sVideoCodec.empty() ? "none" : info.sVideoCodec) + ", audio " +
              (info.sAudioCodec.empty() ? "none" : info.sAudioCodec) + " is not supported";
      else if (info.sFiletype.empty())
        why = "not a kind of file the iPod plays";
      skipped.emplace_back(files[i], why);
    } else if (id < 0) {
      if (c_.status().code() == Status::Code::kCancelled) {
        interrupted = true;
        break;
      }
      ++failed;
    } else {
      ++added;
    }
    done += static_cast<uint64_t>(std::max<int64_t>(fs::FileSize(files[i]), 0));
  }
  host_.ClearProgress();
  std::printf("%zu added, %zu not supported, %zu failed%s\n", added, skipped.size(), failed,
              interrupted ? " (interrupted)" : "");
  for (const auto& [f, why] : skipped) std::printf("  not supported: %s: %s\n", f.c_str(), why.c_str());
  int w = added > 0 ? Write() : kExitOK;
  if (w != kExitOK) return w;
  if (interrupted) return kExitInterrupted;
  return failed ? kExitFailed : kExitOK;
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
    if (!c_.SetTrackInfo(f, info)) rc = Fail(c_, f);
    Json readers = verbose ? ReadersJson(f) : Json();
    if (g_.json) {
      Json j = {{"file", f}, {"TrackInfo", ToJson(info)}};
      if (verbose) j["readers"] = readers;
      all.push_back(std::move(j));
    } else {
      std::printf("== %s\n", f.c_str());
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

}  // namespace
}  // namespace cadenza::cli

int main(int argc, char** argv) {
  using namespace cadenza::cli;
  CLI::App cli{"cadenza: manage the music database of an iPod mounted as a disk"};
  cli.require_subcommand(1);
  Global g;
  cli.add_option("--device", g.device, "mount point of the iPod (found automatically when omitted)");
  cli.add_flag("--json", g.json, "print full records as JSON");
  cli.add_flag("--no-images", g.no_images, "leave the raw chunk images out of --json output");
  auto* yes = cli.add_flag("--yes", g.yes, "answer yes to every question");
  cli.add_flag("--no", g.no, "answer no to every question")->excludes(yes);

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
  ed->add_option("--year", edit.year);
  ed->add_option("--start", edit.start, "start position in ms");
  ed->add_option("--stop", edit.stop, "stop position in ms");
  ed->add_option("--skip-when-shuffling", edit.skip_shuffle, "1 or 0");
  ed->add_option("--remember-position", edit.remember_pos, "1 or 0");
  auto* rebuild = cli.add_subcommand("rebuild", "rebuild the database from the device's media files");
  auto* detect = cli.add_subcommand("detect", "print the iPod's mount point");
  std::vector<std::string> probe_files;
  bool verbose = false;
  auto* probe = cli.add_subcommand("probe", "describe media files");
  probe->add_option("FILE", probe_files)->required();
  probe->add_flag("--verbose", verbose, "also show what each reader found");

  CLI11_PARSE(cli, argc, argv);
  App app(g);
  if (*info) return app.Info();
  if (*tracks) return app.Tracks();
  if (*playlists) return app.Playlists(false);
  if (*podcasts) return app.Playlists(true);
  if (*write) return app.Load() ? app.Write() : 1;
  if (*reset) return app.Reset();
  if (*init) return app.Init(init_dir);
  if (*show) return app.Show(show_id);
  if (*add) return app.Add(add_inputs);
  if (*rm) return app.Remove(rm_ids);
  if (*ed) return app.Modify(edit_id, edit);
  if (*rebuild) return app.Rebuild();
  if (*detect) return app.Detect();
  if (*probe) return app.Probe(probe_files, verbose);
  return 2;
}
