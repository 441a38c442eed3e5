// The Python module `cadenza`: the music database of an iPod mounted as a
// disk, over cadenza::Library.
//
//   lib = cadenza.open("/media/ipod")
//   for t in lib.tracks: print(t.id, t.title, t.artist)
//   new_id = lib.import_file("song.mp3")
//   lib.save()
//
// Tracks and playlists are snapshots: they stay as they were read while the
// library changes. A failed operation raises cadenza.Error with the status
// message; its `code` names the kind ("not_found", "corrupt", "busy", ...).
// Python.h comes first, as it asks.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "cadenza/library.h"

namespace py = pybind11;

namespace cadenza {
namespace {

PyObject* g_error = nullptr;  // cadenza.Error, owned by the module

const char* CodeName(Status::Code code) {
  switch (code) {
    case Status::Code::kOk: return "ok";
    case Status::Code::kNotFound: return "not_found";
    case Status::Code::kCorrupt: return "corrupt";
    case Status::Code::kIOError: return "io_error";
    case Status::Code::kInvalid: return "invalid";
    case Status::Code::kUnsupported: return "unsupported";
    case Status::Code::kCancelled: return "cancelled";
    case Status::Code::kNoSpace: return "no_space";
    case Status::Code::kBusy: return "busy";
    case Status::Code::kDuplicate: return "duplicate";
  }
  return "unknown";
}

// Text of the library (UTF-8; paths may hold other bytes, which are kept as
// os.fsdecode keeps them).
py::str Str(std::string_view s) {
  PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
  if (!o) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

[[noreturn]] void Raise(const Status& st) {
  py::object e = py::reinterpret_borrow<py::object>(g_error)(Str(st.message()));
  e.attr("code") = CodeName(st.code());
  e.attr("number") = st.number();
  e.attr("message") = Str(st.message());
  PyErr_SetObject(g_error, e.ptr());
  throw py::error_already_set();
}

void Check(const Status& st) {
  if (!st.ok()) Raise(st);
}

// A path argument: str, bytes or os.PathLike.
std::string PathArg(const py::handle& p) {
  py::module_ os = py::module_::import("os");
  std::string s = os.attr("fsencode")(p).cast<std::string>();
  if (s.find('\0') != std::string::npos) throw py::value_error("path contains a NUL character");
  return s;
}

// The blank database template of an installation lies in share/cadenza of
// the prefix the module was installed to (lib/python3/dist-packages).
std::string DefaultComponentFolder() {
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&DefaultComponentFolder), &info) || !info.dli_fname)
    return {};
  std::string dir = info.dli_fname;
  dir.erase(dir.find_last_of('/') + 1);
  const std::string share = dir + "../../../share/cadenza";
  return ::access((share + "/Cadenza").c_str(), R_OK) == 0 ? share : std::string();
}

Options MakeOptions(double wait, const std::optional<std::string>& component_folder) {
  if (!(wait >= 0)) throw py::value_error("wait must be a number of seconds, 0 or more");
  Options o;
  o.lock_wait_ms = static_cast<int>(std::min(wait * 1000.0, static_cast<double>(INT_MAX)));
  o.component_folder = component_folder ? *component_folder : DefaultComponentFolder();
  return o;
}

py::str Utf16ToStr(const Utf16Text& t) {
  const Bytes& b = t.bytes();
  return py::bytes(b.data() ? b.data() : "", b.size() & ~size_t{1})
      .attr("decode")("utf-16-le", "replace");
}

int32_t Int32LE(std::string_view b) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4 && i < b.size(); ++i) v |= uint32_t{static_cast<uint8_t>(b[i])} << (8 * i);
  return static_cast<int32_t>(v);
}

// A time field of a track (seconds since 1904) as seconds since 1970; 0
// when not set.
int64_t UnixTime(std::string_view field) {
  const auto v = static_cast<uint32_t>(Int32LE(field));
  return v == 0 ? 0 : int64_t{v} - 2082844800;
}

// A read-only record (Track, Playlist): attributes, and the dict form
// through to_dict() or dict(record).
template <int Kind>
struct Record {
  py::dict fields;
};

template <int Kind>
void BindRecord(py::module_& m, const char* name, const char* doc, const char* label) {
  using R = Record<Kind>;
  py::class_<R>(m, name, doc)
      .def("__getattr__",
           [](const R& r, const std::string& key) -> py::object {
             if (!r.fields.contains(key)) throw py::attribute_error(key);
             return r.fields[key.c_str()];
           })
      .def("__getitem__", [](const R& r, const std::string& key) -> py::object {
        if (!r.fields.contains(key)) throw py::key_error(key);
        return r.fields[key.c_str()];
      })
      .def("keys", [](const R& r) { return r.fields.attr("keys")(); })
      .def("to_dict", [](const R& r) { return py::dict(r.fields); })
      .def("__dir__", [](const R& r) { return py::list(r.fields); })
      .def("__eq__", [](const R& a, const R& b) { return a.fields.equal(b.fields); })
      .def("__repr__", [label](const R& r) {
        return "<cadenza." + std::string(label) + " " +
               py::repr(r.fields).template cast<std::string>() + ">";
      });
}

using Track = Record<0>;
using Playlist = Record<1>;

// A Library with the one rule its Python users need: while one thread is
// in a call that released the interpreter lock, other calls are refused
// (cancel excepted) rather than racing it.
struct PyLibrary {
  std::unique_ptr<Library> lib;
  bool busy = false;
};

class InUse {
 public:
  explicit InUse(PyLibrary& l) : l_(l) {
    if (l_.busy) Raise(Status::Busy("The library is in use by another thread"));
    l_.busy = true;
  }
  ~InUse() { l_.busy = false; }
  InUse(const InUse&) = delete;
  InUse& operator=(const InUse&) = delete;

 private:
  PyLibrary& l_;
};

const char* StageName(Progress::Stage s) {
  switch (s) {
    case Progress::Stage::kAnalyse: return "analyse";
    case Progress::Stage::kAnalyserError: return "analyser_error";
    case Progress::Stage::kCopyStart: return "copy_start";
    case Progress::Stage::kCopy: return "copy";
    case Progress::Stage::kRebuildStart: return "rebuild_start";
    case Progress::Stage::kRebuildList: return "rebuild_list";
    case Progress::Stage::kRebuildFile: return "rebuild_file";
    case Progress::Stage::kRebuildSkipped: return "rebuild_skipped";
    case Progress::Stage::kRebuildFailed: return "rebuild_failed";
    case Progress::Stage::kRebuildWrite: return "rebuild_write";
    case Progress::Stage::kConvert: return "convert";
    case Progress::Stage::kExport: return "export";
  }
  return "unknown";
}

// Runs `op` without the interpreter lock, with `progress` (a callable or
// None) called for each step. An exception raised by the callable, or a
// Ctrl-C, cancels the operation where it still can and is raised here.
template <typename Op>
Status RunReleased(PyLibrary& self, const py::object& progress, Op op) {
  Library& lib = *self.lib;
  std::optional<py::error_already_set> failed;
  lib.SetProgressCallback([&](const Progress& p) {
    // The library clears a request when a copy starts, so it is repeated
    // at every step until the operation stops.
    if (failed) {
      lib.Cancel();
      return;
    }
    py::gil_scoped_acquire gil;
    try {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (!progress.is_none())
        progress(StageName(p.stage), Str(p.item), p.done, p.total);
    } catch (py::error_already_set& e) {
      failed.emplace(std::move(e));
      lib.Cancel();
    }
  });
  struct Unset {
    Library& lib;
    ~Unset() { lib.SetProgressCallback(nullptr); }
  } unset{lib};
  Status st;
  {
    py::gil_scoped_release nogil;
    st = op(lib);
  }
  if (failed) throw std::move(*failed);
  return st;
}

Track MakeTrack(const Library& lib, const MHIT& t) {
  TrackInfo info;
  Check(lib.Describe(t.iUniqueID, &info));
  py::dict f;
  f["id"] = t.iUniqueID;
  f["title"] = Str(info.sTitle);
  f["artist"] = Str(info.sArtist);
  f["album"] = Str(info.sAlbum);
  f["genre"] = Str(info.sGenre);
  f["composer"] = Str(info.sComposer);
  f["comment"] = Str(info.sComment);
  f["year"] = Int32LE(t.sTrackYear.view());
  f["length_ms"] = t.iTrackTimeLength;
  f["bitrate"] = t.iBitrate;
  f["sample_rate"] = static_cast<uint32_t>(t.iSampleRate) >> 16;  // 16.16 fixed point
  f["size"] = t.iTrackSize;
  f["file_type"] = Str(info.sTrackType);  // "MP3", "AAC", ...
  f["location"] = Str(info.sLocation);
  f["track_number"] = t.iTrackNumber;
  f["track_count"] = t.iTotalTracksNumber;
  f["disc_number"] = t.iDiscNumber;
  f["disc_count"] = t.iTotalDisks;
  f["rating"] = t.iStartRating;
  f["play_count"] = t.iPlayCount;
  f["skip_count"] = t.iSkipCount;
  f["start_ms"] = t.iStartTime;
  f["stop_ms"] = t.iStopTime;
  f["skip_when_shuffling"] = t.iSkipWhenShuffle != 0;
  f["remember_position"] = t.iRememPlaybackPos != 0;
  f["is_video"] = t.iMovieFileFlag != 0;
  f["media_type"] = t.iMediaType;  // 1 audio, 2 video, 8 audiobook
  Tags tags;
  Check(lib.DescribeTags(t.iUniqueID, &tags));
  f["album_artist"] = Str(tags.album_artist);
  f["compilation"] = tags.compilation;
  f["bpm"] = tags.bpm;
  f["date_added"] = UnixTime(t.sDateAdded.view());  // seconds since 1970, 0 when not set
  f["date_modified"] = UnixTime(t.sLastModifiedTime.view());
  f["db_id"] = t.iDB_ID;
  f["last_played"] = UnixTime(t.sLastPlayedTime.view());
  f["last_skipped"] = UnixTime(t.sLastSkipped.view());
  f["bookmark_ms"] = t.iBookmarkTime;
  f["has_cover"] = Library::HasCover(t);
  f["cover_image_id"] = Library::CoverImageId(t);  // 0 when the track names no image
  return Track{std::move(f)};
}

std::vector<Playlist> MakePlaylists(std::span<const MHYP> lists) {
  std::vector<Playlist> out;
  for (const MHYP& l : lists) {
    py::dict f;
    f["name"] = Utf16ToStr(l.m_mhod_s.sString);
    f["master"] = l.iIsMasterFLag != 0;
    f["podcast"] = l.iPodCastFlag != 0;
    f["smart"] = Library::IsSmart(l);
    py::list ids;
    // Items of tracks deleted since the load (id -1) are gone from the list.
    for (const MHIP& item : l.m_mhip)
      if (item.iTrackID != -1) ids.append(item.iTrackID);
    f["track_ids"] = ids;
    out.push_back(Playlist{std::move(f)});
  }
  return out;
}

py::dict InfoDict(const TrackInfo& i) {
  py::dict f;
  f["title"] = Str(i.sTitle);
  f["artist"] = Str(i.sArtist);
  f["album"] = Str(i.sAlbum);
  f["genre"] = Str(i.sGenre);
  f["composer"] = Str(i.sComposer);
  f["comment"] = Str(i.sComment);
  f["year"] = Str(i.sYear);
  f["file_type"] = Str(i.sFiletype);
  f["location"] = Str(i.sLocation);
  f["volume"] = Str(i.sVolume);
  f["size"] = i.iFileSize;
  f["length_ms"] = i.iTrackTimLength;
  f["type"] = i.iType;
  f["bitrate"] = i.iBitrateInKbs;
  f["sample_rate"] = i.iSampleRateInHz;
  f["start_ms"] = i.iStartTime;
  f["stop_ms"] = i.iStopTime;
  f["skip_when_shuffling"] = i.iSkipWhenShuffle != 0;
  f["remember_position"] = i.iRememberPlayBackPos != 0;
  f["is_video"] = i.IsMovie != 0;
  f["is_vbr"] = i.IsVBR != 0;
  f["play_count"] = i.iPlayCount;
  f["track_type"] = Str(i.sTrackType);
  f["id"] = i.iTrackID;
  f["video_codec"] = Str(i.sVideoCodec);
  f["audio_codec"] = Str(i.sAudioCodec);
  f["supported"] = i.isFileSupported;
  return f;
}

}  // namespace
}  // namespace cadenza

PYBIND11_MODULE(cadenza, m) {
  using namespace cadenza;
  m.doc() = "The music database of an iPod mounted as a disk.";

  g_error = PyErr_NewExceptionWithDoc(
      "cadenza.Error",
      "A failed operation. str(e) and e.message: what happened; e.code: its kind (\"not_found\", "
      "\"corrupt\", \"io_error\", \"invalid\", \"unsupported\", \"cancelled\", \"no_space\", "
      "\"busy\", \"duplicate\"); e.number: the error number (0 when none applies).",
      nullptr, nullptr);
  if (!g_error) throw py::error_already_set();
  m.add_object("Error", py::reinterpret_borrow<py::object>(g_error));

  BindRecord<0>(m, "Track", "One track of the database (a snapshot).", "Track");
  BindRecord<1>(m, "Playlist", "One playlist: name, master, podcast, smart, track_ids.", "Playlist");

  py::class_<PyLibrary>(m, "Library", "The database of one device; made by cadenza.open().")
      .def_property_readonly("root", [](PyLibrary& s) { InUse u(s); return Str(s.lib->root()); })
      .def_property_readonly(
          "tracks",
          [](PyLibrary& s) {
            InUse u(s);
            std::vector<Track> out;
            for (const MHIT& t : s.lib->tracks()) out.push_back(MakeTrack(*s.lib, t));
            return out;
          },
          "The live tracks, as a list of Track.")
      .def(
          "track",
          [](PyLibrary& s, int32_t id) -> std::optional<Track> {
            InUse u(s);
            const MHIT* t = s.lib->track(id);
            if (!t) return std::nullopt;
            return MakeTrack(*s.lib, *t);
          },
          py::arg("id"), "The track with this id, or None.")
      .def_property_readonly("playlists",
                             [](PyLibrary& s) {
                               InUse u(s);
                               return MakePlaylists(s.lib->playlists());
                             })
      .def_property_readonly("podcasts",
                             [](PyLibrary& s) {
                               InUse u(s);
                               return MakePlaylists(s.lib->podcasts());
                             })
      .def_property_readonly(
          "device",
          [](PyLibrary& s) {
            InUse u(s);
            const DeviceModel& d = s.lib->device();
            py::dict f;
            f["name"] = Str(d.name);
            f["model_number"] = Str(d.model_number);
            f["checksum"] = Str(d.checksum);
            f["guid"] = Str(d.guid);
            f["writable"] = d.writable.ok();
            f["shuffle"] = Str(d.shuffle);  // how a shuffle was recognised, "" when not one
            f["writable_message"] = Str(d.writable.ok() ? std::string() : d.writable.message());
            f["description"] = Str(d.description);
            return f;
          },
          "The device's model and checksum scheme, and whether it can be written.")
      .def(
          "import_file",
          [](PyLibrary& s, const py::object& path, const py::object& progress, bool convert,
             bool lossless, int bitrate, bool convert_video, bool allow_duplicates, bool covers) {
            const std::string file = PathArg(path);
            ImportOptions how;
            how.covers = covers;
            how.convert = convert;
            how.lossless = lossless;
            how.bitrate_kbps = bitrate;
            how.convert_video = convert_video;
            how.allow_duplicates = allow_duplicates;
            InUse u(s);
            int32_t id = 0;
            Check(RunReleased(s, progress, [&](Library& l) { return l.Import(file, how, &id); }));
            return id;
          },
          py::arg("path"), py::arg("progress") = py::none(), py::kw_only(),
          py::arg("convert") = true, py::arg("lossless") = false, py::arg("bitrate") = 256,
          py::arg("convert_video") = false, py::arg("allow_duplicates") = false,
          py::arg("covers") = true,
          "Copies a media file onto the device as a new track and returns its id (written by "
          "save()). Audio the iPod cannot play is converted (AAC at bitrate kb/s, or Apple "
          "Lossless); a file on the device already raises Error with code \"duplicate\". "
          "covers: give the track the cover of the file's tags, or of a cover, folder or front "
          ".jpg/.png beside it. "
          "progress: None or a callable(stage, item, done, total).")
      .def(
          "duplicates",
          [](PyLibrary& s) {
            InUse u(s);
            return s.lib->Duplicates();
          },
          "Groups of track ids that duplicate each other.")
      .def(
          "export",
          [](PyLibrary& s, const py::object& folder, std::vector<int32_t> ids,
             const std::string& pattern, bool playlists, bool write_tags,
             const py::object& progress) {
            const std::string dir = PathArg(folder);
            ExportOptions how;
            how.pattern = pattern;
            how.playlists = playlists;
            how.write_tags = write_tags;
            InUse u(s);
            ExportReport report;
            Status st = RunReleased(s, progress, [&](Library& l) {
              return static_cast<const Library&>(l).Export(dir, ids, how, &report);
            });
            if (!st.ok() && report.failed.empty()) Check(st);
            py::dict f;
            py::list written, skipped, failed, lists;
            for (const auto& w : report.written) written.append(Str(w));
            for (const auto& w : report.skipped) skipped.append(Str(w));
            for (const auto& [id, why] : report.failed) failed.append(py::make_tuple(id, Str(why)));
            for (const auto& w : report.playlists) lists.append(Str(w));
            f["written"] = written;
            f["skipped"] = skipped;
            f["failed"] = failed;
            f["playlists"] = lists;
            return f;
          },
          py::arg("folder"), py::arg("ids") = std::vector<int32_t>{}, py::kw_only(),
          py::arg("pattern") = ExportOptions{}.pattern, py::arg("playlists") = false,
          py::arg("write_tags") = true, py::arg("progress") = py::none(),
          "Copies tracks (all when ids is empty) into folder, named by pattern; never changes "
          "the device. Returns a dict: written, skipped, failed (id, why), playlists.")
      .def(
          "edit",
          [](PyLibrary& s, int32_t id, std::optional<std::string> title,
             std::optional<std::string> artist, std::optional<std::string> album,
             std::optional<std::string> genre, std::optional<std::string> comment,
             std::optional<std::string> composer, const py::object& year,
             std::optional<int32_t> start_ms, std::optional<int32_t> stop_ms,
             std::optional<bool> skip_when_shuffling, std::optional<bool> remember_position,
             std::optional<std::string> album_artist, std::optional<int32_t> track_number,
             std::optional<int32_t> track_count, std::optional<int32_t> disc_number,
             std::optional<int32_t> disc_count, std::optional<bool> compilation,
             std::optional<int32_t> bpm, std::optional<int32_t> rating) {
            TrackEdit e;
            e.album_artist = std::move(album_artist);
            e.track_number = track_number;
            e.track_count = track_count;
            e.disc_number = disc_number;
            e.disc_count = disc_count;
            e.compilation = compilation;
            e.bpm = bpm;
            e.rating = rating;
            e.title = std::move(title);
            e.artist = std::move(artist);
            e.album = std::move(album);
            e.genre = std::move(genre);
            e.comment = std::move(comment);
            e.composer = std::move(composer);
            if (py::isinstance<py::str>(year) && year.cast<std::string>().empty()) {
              e.year = "";
            } else if (!year.is_none()) {
              if (!py::isinstance<py::int_>(year) && !py::isinstance<py::str>(year))
                throw py::type_error("year must be an int or a str");
              const long long y = py::int_(year).cast<long long>();  // ValueError for "abc"
              if (y < 0 || y > 9999) throw py::value_error("year must be 0 to 9999");
              e.year = std::to_string(y);
            }
            e.start_ms = start_ms;
            e.stop_ms = stop_ms;
            if (skip_when_shuffling) e.skip_when_shuffling = *skip_when_shuffling ? 1 : 0;
            if (remember_position) e.remember_position = *remember_position ? 1 : 0;
            InUse u(s);
            Check(s.lib->Edit(id, e));
          },
          py::arg("id"), py::kw_only(), py::arg("title") = py::none(),
          py::arg("artist") = py::none(), py::arg("album") = py::none(),
          py::arg("genre") = py::none(), py::arg("comment") = py::none(),
          py::arg("composer") = py::none(), py::arg("year") = py::none(),
          py::arg("start_ms") = py::none(), py::arg("stop_ms") = py::none(),
          py::arg("skip_when_shuffling") = py::none(), py::arg("remember_position") = py::none(),
          py::arg("album_artist") = py::none(), py::arg("track_number") = py::none(),
          py::arg("track_count") = py::none(), py::arg("disc_number") = py::none(),
          py::arg("disc_count") = py::none(), py::arg("compilation") = py::none(),
          py::arg("bpm") = py::none(), py::arg("rating") = py::none(),
          "Changes the fields given (year: a number, or \"\" to clear it; rating: 0 to 5 "
          "stars).")
      .def(
          "playlist",
          [](PyLibrary& s, const std::string& action, const std::string& name,
             const std::vector<int32_t>& ids, const std::string& new_name, size_t position) {
            InUse u(s);
            Library& l = *s.lib;
            if (action == "create") return Check(l.CreatePlaylist(name));
            if (action == "rename") return Check(l.RenamePlaylist(name, new_name));
            if (action == "delete") return Check(l.DeletePlaylist(name));
            if (action == "add") return Check(l.AddToPlaylist(name, ids));
            if (action == "remove") return Check(l.RemoveFromPlaylist(name, ids));
            if (action == "move" && ids.size() == 1)
              return Check(l.MovePlaylistItem(name, ids[0], position));
            throw py::value_error("action is create, rename, delete, add, remove or move (one id)");
          },
          py::arg("action"), py::arg("name"), py::arg("ids") = std::vector<int32_t>{},
          py::kw_only(), py::arg("new_name") = "", py::arg("position") = 0,
          "Changes a playlist: create, rename (new_name), delete, add ids, remove ids, or move "
          "one id to position (0 first). The change is written by save().")
      .def(
          "import_playlist",
          [](PyLibrary& s, const py::object& path, const std::string& name, bool allow_duplicates,
             bool covers) {
            InUse u(s);
            ImportOptions how;
            how.allow_duplicates = allow_duplicates;
            how.covers = covers;
            PlaylistImportReport r;
            const std::string file = PathArg(path);
            Status st = RunReleased(s, py::none(), [&](Library& l) {
              return l.ImportPlaylist(file, name, how, &r);
            });
            if (r.tracks.empty()) Check(st);
            py::dict f;
            f["tracks"] = r.tracks;
            f["added"] = r.added;
            py::list failed;
            for (const auto& [entry, why] : r.failed) failed.append(py::make_tuple(entry, Str(why)));
            f["failed"] = failed;
            return f;
          },
          py::arg("path"), py::kw_only(), py::arg("name") = "", py::arg("allow_duplicates") = false,
          py::arg("covers") = true,
          "Makes a playlist from an .m3u/.m3u8 file, importing the files not on the device. "
          "Returns a dict: tracks, added, failed (entry, why).")
      .def(
          "export_playlist",
          [](PyLibrary& s, const std::string& name, const py::object& path) {
            InUse u(s);
            Check(s.lib->ExportPlaylist(name, PathArg(path)));
          },
          py::arg("name"), py::arg("path"), "Writes a playlist as an .m3u8 file.")
      .def_property_readonly(
          "notices", [](PyLibrary& s) { InUse u(s); return s.lib->notices(); },
          "What the load found worth a warning (play records that did not fit, ...).")
      .def(
          "plays",
          [](PyLibrary& s, const py::object& scrobbler_log) {
            InUse u(s);
            std::vector<PlayEvent> plays;
            Check(s.lib->ReadPlays(&plays));
            if (!scrobbler_log.is_none())
              Check(Library::WriteScrobblerLog(plays, PathArg(scrobbler_log)));
            py::list out;
            for (const PlayEvent& e : plays) {
              py::dict f;
              f["id"] = e.track_id;
              f["db_id"] = e.db_id;
              f["title"] = Str(e.title);
              f["artist"] = Str(e.artist);
              f["album"] = Str(e.album);
              f["plays"] = e.plays;
              f["skips"] = e.skips;
              f["last_played"] = e.last_played;
              f["last_skipped"] = e.last_skipped;
              out.append(f);
            }
            return out;
          },
          py::arg("scrobbler_log") = py::none(),
          "The plays the iPod recorded (the play log, then those collected at this load), as "
          "dicts; scrobbler_log: also write them as a .scrobbler.log file.")
      .def(
          "clear_plays",
          [](PyLibrary& s) {
            InUse u(s);
            Check(s.lib->ClearPlays());
          },
          "Empties the play log on the device.")
      .def(
          "artwork",
          [](PyLibrary& s) {
            InUse u(s);
            ArtworkInfo a;
            Check(s.lib->GetArtworkInfo(&a));
            py::list formats;
            for (const ArtworkInfo::Format& f : a.formats)
              formats.append(py::dict(py::arg("id") = f.id, py::arg("width") = f.width,
                                      py::arg("height") = f.height));
            py::dict f;
            f["formats"] = formats;
            f["formats_from"] = Str(a.formats_from);
            f["images"] = a.images;
            f["tracks_with_cover"] = a.tracks_with_cover;
            f["files"] = a.files;
            f["file_bytes"] = a.file_bytes;
            f["unused_bytes"] = a.unused_bytes;
            f["problem"] = Str(a.problem);
            return f;
          },
          "The device's cover art as a dict: formats (id, width, height; empty when the iPod "
          "shows no covers), formats_from (\"SysInfoExtended\", \"model\" or \"\"), images, "
          "tracks_with_cover, files, file_bytes, unused_bytes, problem (why the ArtworkDB "
          "cannot be read, or \"\").")
      .def(
          "cover",
          [](PyLibrary& s, int32_t id) {
            InUse u(s);
            std::string png;
            Status st;
            {
              py::gil_scoped_release nogil;
              st = s.lib->ReadCover(id, &png);
            }
            Check(st);
            return py::bytes(png);
          },
          py::arg("id"),
          "The track's cover on the device (as of the last save) as PNG bytes; Error with code "
          "\"not_found\" when it has none.")
      .def(
          "set_cover",
          [](PyLibrary& s, int32_t id, const py::bytes& data) {
            const std::string picture = data;
            InUse u(s);
            Check(s.lib->SetCover(id, picture));
          },
          py::arg("id"), py::arg("data"),
          "Gives the track a cover from JPEG or PNG bytes (written by save()); Error with code "
          "\"unsupported\" for other data or an iPod that shows no covers.")
      .def(
          "set_album_cover",
          [](PyLibrary& s, const std::string& album, const py::bytes& data) {
            const std::string picture = data;
            InUse u(s);
            int32_t count = 0;
            Check(s.lib->SetAlbumCover(album, picture, &count));
            return count;
          },
          py::arg("album"), py::arg("data"),
          "Gives every track of the album (the name exactly) the cover and returns how many; "
          "written by save().")
      .def(
          "remove_cover",
          [](PyLibrary& s, int32_t id) {
            InUse u(s);
            Check(s.lib->RemoveCover(id));
          },
          py::arg("id"), "Removes the track's cover with the next save().")
      .def(
          "compact_artwork",
          [](PyLibrary& s) {
            InUse u(s);
            int64_t freed = 0;
            Status st;
            {
              py::gil_scoped_release nogil;
              st = s.lib->CompactArtwork(&freed);
            }
            Check(st);
            return freed;
          },
          "Moves the used cover slots into new artwork files and deletes the old ones; returns "
          "the bytes given back. A damaged ArtworkDB is set aside instead (see notices) and "
          "the next save() removes the tracks' covers.")
      .def(
          "delete",
          [](PyLibrary& s, int32_t id) {
            InUse u(s);
            Check(s.lib->Delete(id));
          },
          py::arg("id"), "Deletes a track; its file goes with the next save().")
      .def(
          "save",
          [](PyLibrary& s) {
            InUse u(s);
            std::vector<std::string> kept;
            Check(RunReleased(s, py::none(), [&](Library& l) { return l.Save(&kept); }));
            return kept;
          },
          "Writes the database; returns why files of deleted tracks were kept (usually none).")
      .def(
          "rebuild",
          [](PyLibrary& s, const py::object& progress) {
            InUse u(s);
            Check(RunReleased(s, progress, [](Library& l) { return l.Rebuild(); }));
          },
          py::arg("progress") = py::none(),
          "Makes and writes a new database from the media files on the device.")
      .def(
          "reset",
          [](PyLibrary& s) {
            InUse u(s);
            Check(RunReleased(s, py::none(), [](Library& l) { return l.Reset(); }));
          },
          "Installs the blank database on the device and loads it.")
      .def("cancel", [](PyLibrary& s) { s.lib->Cancel(); },
           "Stops the import copy or rebuild under way (from any thread).")
      .def("__repr__", [](PyLibrary& s) { return "<cadenza.Library " + py::repr(Str(s.lib->root())).cast<std::string>() + ">"; });

  m.def(
      "open",
      [](const py::object& root, double wait, const std::optional<std::string>& component_folder) {
        const std::string path = PathArg(root);
        Options o = MakeOptions(wait, component_folder);
        auto out = std::make_unique<PyLibrary>();
        Status st;
        {
          py::gil_scoped_release nogil;
          st = Library::Open(path, o, &out->lib);
        }
        Check(st);
        return out;
      },
      py::arg("root"), py::arg("wait") = 3.0, py::arg("component_folder") = py::none(),
      "Reads the database of the device mounted at root. wait: seconds to wait for another "
      "program changing the device.");

  m.def(
      "probe",
      [](const py::object& path, const std::optional<std::string>& component_folder) {
        const std::string file = PathArg(path);
        Options o = MakeOptions(0, component_folder);
        TrackInfo info;
        Status st;
        {
          py::gil_scoped_release nogil;
          st = Library::ProbeFile(file, o, &info);
        }
        Check(st);
        return InfoDict(info);
      },
      py::arg("path"), py::arg("component_folder") = py::none(),
      "What an import would read from a media file, as a dict.");
}
