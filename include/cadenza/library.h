// Library: the music database of one iPod mounted as a disk, for C++
// programs.
//
//   std::unique_ptr<cadenza::Library> lib;
//   cadenza::Status st = cadenza::Library::Open("/media/ipod", {}, &lib);
//   if (!st.ok()) { std::cerr << st.message() << "\n"; return 1; }
//   for (const cadenza::MHIT& t : lib->tracks()) std::cout << t.iUniqueID << "\n";
//   int32_t id = 0;
//   st = lib->Import("song.mp3", &id);
//   if (st.ok()) st = lib->Save();
//
// Every operation returns a Status (or fills an out-parameter and returns
// one); none throws and none talks to a user. Where a program should ask
// its user (a damaged database, a device whose database cannot be signed),
// the status says so and the program decides: see Open, Rebuild, Reset.
//
// Thread safety: a Library is not safe for concurrent use. Several threads
// may call const members at the same time while no thread calls a non-const
// one. Cancel() is the exception: any thread may call it at any time, to
// stop the import copy or rebuild under way. Libraries of different devices
// are independent. Two programs (or two Library objects) on one device
// exclude each other while changing it: see Lock.
#ifndef CADENZA_LIBRARY_H_
#define CADENZA_LIBRARY_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cadenza/database.h"
#include "cadenza/options.h"
#include "cadenza/records.h"
#include "cadenza/status.h"
#include "cadenza/tags.h"

namespace cadenza {

// What kind of iPod a device is and what its database needs, found once
// when the Library is opened.
struct DeviceModel {
  std::string name;          // "iPod classic 6G", or "" when not known
  std::string model_number;  // "B029", or ""
  std::string checksum;      // "none", "hash58", "hash72", "hashAB", "unknown"
  std::string guid;          // 16 hex digits, or ""
  // OK when a database written here is accepted by the device; otherwise
  // why not, and every change is refused before anything is touched.
  Status writable;
  // Lines describing the device, its checksum and where each came from.
  std::string description;
  // An iPod shuffle of the 1st to 4th generation, which plays from its own
  // iTunesSD: "" when not a shuffle, else how it was recognised ("model
  // number", "USB product id", "iTunesSD on the device").
  std::string shuffle;
  // The iTunesSD layout it reads: 1 (1st/2nd generation records) or 3
  // (3rd/4th generation), 0 when not a shuffle.
  int shuffle_format = 0;
};

// Plays and skips the iPod recorded for one track, as collected from its
// play records. Times are Unix seconds read as the device's clock gave
// them (its local time on most models), 0 when none.
struct PlayEvent {
  uint64_t db_id = 0;
  int32_t track_id = 0;
  std::string title, artist, album;
  int32_t length_ms = 0;
  int32_t track_number = 0;
  uint32_t plays = 0;
  uint32_t skips = 0;
  int64_t last_played = 0;
  int64_t last_skipped = 0;
};

// What ImportPlaylist did.
struct PlaylistImportReport {
  std::vector<int32_t> tracks;  // the playlist's tracks, in the list's order
  std::vector<std::string> added;  // files imported
  std::vector<std::pair<std::string, std::string>> failed;  // entry, why
};

// The database header and the lengths of its lists.
struct DatabaseSummary {
  MHBD header;  // fields and header image; no image of the whole file
  int32_t tracks = 0;
  int32_t playlists = 0;
  int32_t podcasts = 0;
};

// Progress of a long operation, passed to the progress callback.
struct Progress {
  enum class Stage {
    kAnalyse,        // an external analyser is describing a file (item)
    kAnalyserError,  // the analyser failed on a file (item, status)
    kCopyStart,      // a file starts to be copied onto the device (item)
    kCopy,           // bytes copied so far (done of total)
    kRebuildStart,   // a rebuild starts from the blank database
    kRebuildList,    // a rebuild lists the device's music files
    kRebuildFile,    // a rebuild enters a file (item; done of total files)
    kRebuildSkipped, // a rebuild found a file it cannot describe (item, status)
    kRebuildFailed,  // a rebuild could not enter a file (item, status)
    kRebuildWrite,   // a rebuild writes the new database
    kConvert,        // a file is being converted for the iPod (item)
    kExport,         // a track is being exported (item; done of total tracks)
  };
  Progress(Stage s, std::string_view file = {}, uint64_t done_so_far = 0, uint64_t of = 0,
           const Status* why = nullptr)
      : stage(s), item(file), done(done_so_far), total(of), status(why) {}
  Stage stage;
  std::string_view item;           // the file concerned, when there is one
  uint64_t done = 0;
  uint64_t total = 0;
  const Status* status = nullptr;  // kRebuildSkipped, kRebuildFailed, kAnalyserError: why
};
using ProgressCallback = std::function<void(const Progress&)>;

// The tracks of a database, without the ones deleted since it was loaded.
class TrackRange {
 public:
  class iterator {
   public:
    using value_type = MHIT;
    using difference_type = std::ptrdiff_t;
    using reference = const MHIT&;
    using pointer = const MHIT*;
    using iterator_category = std::forward_iterator_tag;
    iterator() = default;
    iterator(const MHIT* at, const MHIT* end) : at_(at), end_(end) { Skip(); }
    const MHIT& operator*() const { return *at_; }
    const MHIT* operator->() const { return at_; }
    iterator& operator++() {
      ++at_;
      Skip();
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& o) const { return at_ == o.at_; }

   private:
    void Skip() {
      while (at_ != end_ && at_->iUniqueID == -1) ++at_;
    }
    const MHIT* at_ = nullptr;
    const MHIT* end_ = nullptr;
  };
  TrackRange(std::span<const MHIT> all, size_t live) : all_(all), live_(live) {}
  iterator begin() const { return {all_.data(), all_.data() + all_.size()}; }
  iterator end() const { return {all_.data() + all_.size(), all_.data() + all_.size()}; }
  size_t size() const { return live_; }
  bool empty() const { return live_ == 0; }

 private:
  std::span<const MHIT> all_;
  size_t live_;
};

// A partial edit of a track: the fields given are changed, the others kept.
struct TrackEdit {
  std::optional<std::string> title, artist, album, genre, comment, composer;
  std::optional<std::string> album_artist;  // "" removes it
  std::optional<std::string> year;  // "" clears it
  std::optional<int32_t> start_ms, stop_ms;
  std::optional<uint8_t> skip_when_shuffling, remember_position;
  // 0 clears a number or total.
  std::optional<int32_t> track_number, track_count, disc_number, disc_count;
  std::optional<bool> compilation;
  std::optional<int32_t> bpm;     // 0 to 65535
  std::optional<int32_t> rating;  // stars, 0 to 5
};

// How Import treats files the iPod cannot play as they are, and files that
// are on the device already.
struct ImportOptions {
  // Audio the iPod cannot play (FLAC, Ogg Vorbis, Opus, WavPack, Monkey's
  // Audio, WMA) is converted with ffmpeg: to AAC at `bitrate_kbps`, or to
  // Apple Lossless. false: such files are refused.
  bool convert = true;
  bool lossless = false;
  int bitrate_kbps = 256;
  // Video the iPod cannot play is converted to H.264 Baseline and AAC at an
  // iPod size; false: it is refused with the reason.
  bool convert_video = false;
  // Import a file even when the device holds it already.
  bool allow_duplicates = false;
  // Folder for the converted files; empty: the system's temporary folder.
  std::string work_folder;
  // Give each track the cover its file's tags carry, or else an image
  // beside the file (cover, folder or front .jpg/.jpeg/.png).
  bool covers = true;
};

// A file made ready for the device by Library::Prepare: described, and
// converted when the iPod cannot play it as it is. A converted file lives
// until the object goes.
class PreparedFile {
 public:
  PreparedFile() = default;
  ~PreparedFile();
  PreparedFile(PreparedFile&& o) noexcept;
  PreparedFile& operator=(PreparedFile&& o) noexcept;
  PreparedFile(const PreparedFile&) = delete;
  PreparedFile& operator=(const PreparedFile&) = delete;

  std::string source;      // the file as named
  std::string path;        // the file to copy: `source`, or the conversion
  bool converted = false;  // `path` is a conversion made for the device
  TrackInfo info;
  Tags tags;
};

// What Export does.
struct ExportOptions {
  // Where each track goes below the folder, without the extension. Fields:
  // {album_artist} (the artist when there is none), {artist}, {album},
  // {title}, {track} (two digits, and the blank after it dropped when the
  // track has no number), {disc}, {year}, {genre}, {id}. "/" makes folders.
  std::string pattern = "{album_artist}/{album}/{track} {title}";
  // Write each playlist as an .m3u8 file in the folder.
  bool playlists = false;
  // Write the database's tags into copies whose own tags lack or differ
  // from them, and the device's cover into copies without a picture (MP3
  // and MP4 audio files).
  bool write_tags = true;
};

// What Export did.
struct ExportReport {
  std::vector<std::string> written;  // files made, in track order
  std::vector<std::string> skipped;  // files already in the folder
  std::vector<std::pair<int32_t, std::string>> failed;  // track id, why
  std::vector<std::string> playlists;  // .m3u8 files written
};

// How a described file is entered by Add.
struct AddOptions {
  // Copy the file onto the device (under a new name in a music folder).
  // false: the file already lies on the device at `device_path`.
  bool copy = true;
  std::string device_path;
  // Non-zero: rewrite this track from the description instead of adding
  // one (its text, flags and location; its id and counts stay).
  int32_t replace_id = 0;
  // The file's tags, for a new track: numbering, album artist,
  // compilation, tempo. The text fields come from the description.
  std::optional<Tags> tags;
  // A new track takes the cover of `file` (its tags, else an image beside
  // `original`, the file as the user named it before any conversion; empty:
  // `file`).
  bool covers = true;
  std::string original{};
};

// The cover art of a device.
struct ArtworkInfo {
  struct Format {
    int32_t id = 0;  // as in F<id>_1.ithmb
    int32_t width = 0, height = 0;
  };
  // The formats covers are written in; empty for iPods without a colour
  // screen, whose tracks are marked as having no artwork.
  std::vector<Format> formats;
  std::string formats_from;  // "SysInfoExtended", "model", or ""
  int32_t images = 0;        // image records of the ArtworkDB
  int32_t tracks_with_cover = 0;
  int32_t files = 0;         // .ithmb files
  int64_t file_bytes = 0;    // their size
  int64_t unused_bytes = 0;  // bytes of slots no image uses
  // Empty, or why the ArtworkDB cannot be read.
  std::string problem;
};

class Library {
 public:
  // Reads the database of the device mounted at `root` in one step.
  // Failures: kNotFound, number 76, when `root` is not there; kNotFound
  // when the device has no database (Rebuild or Reset make one); kCorrupt
  // when the database is damaged (KeepDamagedCopy, then Rebuild or Reset);
  // kIOError when it cannot be read (nothing to repair: the file may be
  // whole). On failure *out receives nothing.
  [[nodiscard]] static Status Open(const std::string& root, const Options& options,
                                   std::unique_ptr<Library>* out);

  // The header and list lengths of the device's database, read from the
  // chunk headers alone (no records are built, so it costs little more than
  // the file). It does not check the rest of the file: Open does.
  [[nodiscard]] static Status ReadSummary(const std::string& root, const Options& options,
                                          DatabaseSummary* out);

  // A library attached to a device root without reading anything yet: for
  // Load, or for Rebuild and Reset of a device whose database is missing
  // or damaged.
  explicit Library(std::string root, Options options = {});
  ~Library();
  Library(Library&&) noexcept;
  Library& operator=(Library&&) noexcept;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // (Re)reads the device's database; the failures of Open. A failed load
  // leaves the object unloaded, with no records.
  [[nodiscard]] Status Load();
  bool loaded() const;
  // The device root, always ending in "/".
  const std::string& root() const;
  const Options& options() const;
  // The device's model and checksum scheme (read on first use after the
  // object was made or loaded, then kept).
  const DeviceModel& device() const;

  // Read-only views of the loaded records. They stay valid until the next
  // non-const call.
  const Database& database() const;
  const MHBD& header() const;
  TrackRange tracks() const;
  // nullptr when no live track has the id.
  const MHIT* track(int32_t id) const;
  std::span<const MHYP> playlists() const;
  std::span<const MHYP> podcasts() const;
  // The number of live tracks; of tracks deleted since the load.
  size_t track_count() const;
  size_t deleted_count() const;

  // The description of a loaded track (text in UTF-8, the file's path on
  // this computer in sLocation).
  [[nodiscard]] Status Describe(int32_t id, TrackInfo* info) const;
  // Describes a media file from its tags and streams. kUnsupported with
  // the reason for a file the iPod does not play; kNotFound, kIOError or
  // kInvalid for one that cannot be read.
  [[nodiscard]] Status Probe(const std::string& file, TrackInfo* info) const;
  static Status ProbeFile(const std::string& file, const Options& options, TrackInfo* info);

  // Probes a file (converting it when the iPod cannot play it as it is),
  // copies it onto the device and enters it as a new track of the master
  // playlist with its tags, unless the device holds it already
  // (kDuplicate): Import with the default ImportOptions. *id receives its id. kNoSpace when the device
  // cannot hold it (nothing copied); kBusy when another program holds the
  // device; kCancelled after Cancel(). The database file changes only on
  // Save().
  [[nodiscard]] Status Import(const std::string& file, int32_t* id);
  // The same as Import with the options given: conversions, duplicates.
  // kDuplicate ("already on the iPod") when the device holds the file.
  [[nodiscard]] Status Import(const std::string& file, const ImportOptions& how, int32_t* id);
  // Describes a file and converts it when the iPod cannot play it (ffmpeg;
  // this takes a while). Needs no device: any thread may prepare files
  // while another adds them. kUnsupported with the reason for files that
  // cannot be taken.
  [[nodiscard]] static Status Prepare(const std::string& file, const Options& options,
                                      const ImportOptions& how, PreparedFile* out);
  // Copies a prepared file onto the device and enters it, with its tags,
  // unless it is a duplicate (kDuplicate, unless how.allow_duplicates).
  [[nodiscard]] Status AddPrepared(const PreparedFile& file, const ImportOptions& how,
                                   int32_t* id);
  // The live track the file duplicates: the same bytes, or the same
  // title, artist and album with lengths within 2 s. 0 when none.
  int32_t FindDuplicate(const std::string& file, const TrackInfo& info) const;
  // Groups of live tracks that duplicate each other, each group in track
  // order, the groups in the order of their first tracks.
  std::vector<std::vector<int32_t>> Duplicates() const;
  // Enters a file described by `info` (from Probe, possibly changed).
  [[nodiscard]] Status Add(const std::string& file, const TrackInfo& info,
                           const AddOptions& how, int32_t* id);
  // The tags of a loaded track that TrackInfo does not carry.
  [[nodiscard]] Status DescribeTags(int32_t id, Tags* tags) const;
  // Probes a file, with every tag its metadata holds.
  [[nodiscard]] Status Probe(const std::string& file, TrackInfo* info, Tags* tags) const;
  // Copies tracks (all when `ids` is empty) from the device into `folder`
  // as `how.pattern` names them, skipping files already there. Never
  // changes the device. OK when every track was exported or skipped.
  [[nodiscard]] Status Export(const std::string& folder, const std::vector<int32_t>& ids,
                              const ExportOptions& how, ExportReport* report) const;
  // Changes a track's text and flags.
  [[nodiscard]] Status Edit(int32_t id, const TrackEdit& edit);
  // Rewrites a track's text and flags from a description: every text field
  // (empty ones too), the year, the start and stop positions and the
  // shuffle and position flags.
  [[nodiscard]] Status Modify(int32_t id, const TrackInfo& info);
  // Deletes a track and its playlist items. Its media file is deleted by
  // the next successful Save(), after the database that no longer lists it
  // is on the device.
  [[nodiscard]] Status Delete(int32_t id);
  // Marks a track deleted without queueing its file: `file` receives the
  // file's path (empty when it has none), for RemoveMusicFile.
  [[nodiscard]] Status MarkDeleted(int32_t id, std::string* file);
  // Deletes a media file of the device and its folder when left empty.
  // kInvalid for any path that does not lie below the device's music
  // folder once links, "..", and case are resolved.
  [[nodiscard]] Status RemoveMusicFile(const std::string& path);

  // Writes the records to the device: the new file is built in memory,
  // signed when the device needs it, written beside the old one, flushed
  // and renamed over it. kBusy when another program changed the database
  // since it was loaded. Then deletes the files of the tracks deleted by
  // Delete; those it must refuse are listed in *kept_files (when given).
  [[nodiscard]] Status Save(std::vector<std::string>* kept_files = nullptr);
  // Rebuilds the database from the media files on the device and writes
  // it; the records become the new ones. A failure (nothing entered, a
  // full disk, Cancel) leaves the device's file and the records as they
  // were.
  [[nodiscard]] Status Rebuild();
  // Installs the blank database on the device and loads it.
  [[nodiscard]] Status Reset();
  // Copies the device's (damaged) database beside itself under a dated
  // name before Rebuild or Reset replaces it; *kept receives the name.
  [[nodiscard]] Status KeepDamagedCopy(std::string* kept);

  // Playlists (of the playlist section; the podcast section keeps the same
  // lists and follows every change). Names are compared exactly. The
  // master playlist always lists every track and cannot be changed here;
  // smart playlists are kept as they are and refused. kNotFound for an
  // unknown name, kInvalid for a name in use or an unknown track id.
  const MHYP* FindPlaylist(std::string_view name) const;
  static std::string PlaylistName(const MHYP& playlist);
  static bool IsSmart(const MHYP& playlist);
  // The ids of the playlist's live items, in order.
  static std::vector<int32_t> PlaylistTracks(const MHYP& playlist);
  [[nodiscard]] Status CreatePlaylist(const std::string& name);
  [[nodiscard]] Status RenamePlaylist(const std::string& from, const std::string& to);
  [[nodiscard]] Status DeletePlaylist(const std::string& name);
  // Appends the tracks (a track may appear more than once).
  [[nodiscard]] Status AddToPlaylist(const std::string& name, const std::vector<int32_t>& ids);
  // Removes every item of each track.
  [[nodiscard]] Status RemoveFromPlaylist(const std::string& name,
                                          const std::vector<int32_t>& ids);
  // Moves the track's first item to `position` (0 first; past the end: last).
  [[nodiscard]] Status MovePlaylistItem(const std::string& name, int32_t id, size_t position);
  // Makes (or refills) the playlist named by the .m3u/.m3u8 file's name (or
  // `name` when given) from its entries: files already on the device are
  // found by their path on the device or as duplicates, the others
  // imported with `how`. Relative entries are resolved against the list's
  // folder. OK when every entry was found or imported.
  [[nodiscard]] Status ImportPlaylist(const std::string& file, const std::string& name,
                                      const ImportOptions& how, PlaylistImportReport* report);
  // Writes the playlist as an .m3u8 file with the tracks' paths on this
  // computer.
  [[nodiscard]] Status ExportPlaylist(const std::string& name, const std::string& file) const;

  // What the load found worth a warning (a play-count file that does not
  // match the database, On-The-Go entries that name no track, ...).
  const std::vector<std::string>& notices() const;
  // The plays and skips collected from the device's play records at the
  // last load, not yet kept in the play log (Save keeps them).
  const std::vector<PlayEvent>& pending_plays() const;
  // The play log kept on the device (every collection since it was last
  // cleared) followed by the pending plays.
  [[nodiscard]] Status ReadPlays(std::vector<PlayEvent>* out) const;
  // Empties the play log on the device.
  [[nodiscard]] Status ClearPlays();
  // Writes plays in the .scrobbler.log format (AUDIOSCROBBLER/1.1): one
  // line per play, the last at the track's last play time and earlier
  // plays spaced back by the track's length.
  [[nodiscard]] static Status WriteScrobblerLog(const std::vector<PlayEvent>& plays,
                                                const std::string& file);

  // Cover art. A track's cover reaches the device with the next Save,
  // rendered into every format of the device (ArtworkInfo::formats).
  [[nodiscard]] Status GetArtworkInfo(ArtworkInfo* out) const;
  // True when the track is marked as having a cover; its image id in the
  // ArtworkDB (0 when the track names none).
  static bool HasCover(const MHIT& track);
  static int32_t CoverImageId(const MHIT& track);
  // Gives the track the picture (JPEG or PNG bytes) as its cover.
  // kUnsupported for other pictures and for iPods without covers, kInvalid
  // for an unknown id, kCorrupt when the device's ArtworkDB is damaged
  // (CompactArtwork sets it aside).
  [[nodiscard]] Status SetCover(int32_t id, const std::string& picture);
  // Gives every track of the album (its name compared exactly) the
  // picture; *count receives how many. kNotFound when no track has it.
  [[nodiscard]] Status SetAlbumCover(const std::string& album, const std::string& picture,
                                     int32_t* count);
  [[nodiscard]] Status RemoveCover(int32_t id);
  // The track's cover on the device, from its largest format, as a PNG.
  // kNotFound when it has none.
  [[nodiscard]] Status ReadCover(int32_t id, std::string* png) const;
  // Removes the images no track names, moves the used slots of the .ithmb
  // files into new files and deletes the old ones (Save does so by itself once more than a quarter of their
  // space is unused). *freed receives the bytes given back. A damaged
  // ArtworkDB is set aside instead (a notice says so) and the covers of
  // the tracks are removed by the next Save.
  [[nodiscard]] Status CompactArtwork(int64_t* freed);

  // Holds the device's lock from now until Unlock (or the object's end),
  // so that a load, the changes and the save form one step that no other
  // writer comes between. Each changing call takes the lock for its own
  // duration otherwise. kBusy when another program kept it for longer than
  // Options::lock_wait_ms.
  [[nodiscard]] Status Lock();
  void Unlock();
  bool locked() const;

  // Progress of copies and rebuilds; called on the calling thread.
  void SetProgressCallback(ProgressCallback callback);
  // Asks the copy or rebuild under way to stop (any thread). A request
  // stops one operation; the next starts afresh.
  void Cancel();
  void set_shuffle(bool shuffle);

 private:
  friend class clsCadenza;
  struct Impl;
  // Copies a file onto the device for Add; *location receives its stored
  // location.
  Status CopyIn(const std::string& file, const TrackInfo& info, std::string* location);
  std::unique_ptr<Impl> impl_;
};

}  // namespace cadenza

#endif  // CADENZA_LIBRARY_H_
