// clsCadenza: the one public class through which a program manages the
// music database of an iPod mounted as a disk.
//
// A host creates it, calls initlaize with the device's mount point, then
// LoadiPodDB, the query and editing operations, and WriteiPodDB. Questions to
// the user, progress events and turns of the host's message loop go through
// the Host the object was created with.
//
// The members keep the results of the historic interface (WriteiPodDB
// returns an empty Variant, ModifyTrack returns false, ...). The real outcome
// of the most recent operation is available to C++ callers from status().
#ifndef CADENZA_CADENZA_H_
#define CADENZA_CADENZA_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "cadenza/host.h"
#include "cadenza/records.h"
#include "cadenza/status.h"
#include "cadenza/database.h"
#include "platform/random.h"

namespace cadenza {

// The result type of members that historically return nothing useful.
using Variant = std::monostate;

struct Options {
  // Folder that holds the blank database template "Cadenza" and where the
  // external analysers are looked for first. Empty: the running program's
  // folder, then its ../share/cadenza.
  std::string component_folder;
  // Roots of the kernel's device tree and the mount table, for finding the
  // iPod. Tests point them at a fake tree.
  std::string sysfs_root = "/sys";
  std::string mountinfo_path = "/proc/self/mountinfo";
  // Whether a load that fails offers to rebuild or reset the database.
  // false: the load fails with the reason and nothing on the device
  // changes (for programs that only read).
  bool offer_repair = true;
  // How long a call that changes the device waits for another program
  // that is changing it, in milliseconds.
  int lock_wait_ms = 3000;
};

class FileLock;

class clsCadenza : private Database {
 public:
  // `host` is not owned and must outlive the object; nullptr: a host that
  // shows nothing and answers No.
  explicit clsCadenza(Host* host = nullptr, Options options = {});
  ~clsCadenza();
  clsCadenza(clsCadenza&&) noexcept;
  clsCadenza& operator=(clsCadenza&&) noexcept;

  // 1. Reads the device database into the records.
  bool LoadiPodDB();
  // 2. Marks a track and its playlist items deleted and deletes its file.
  Variant DeleteTrack(int32_t iTrackID);
  // 3. Stores the application name and the device root (detects the device
  // when siPodDrive is empty).
  void initlaize(int32_t hParentWindow, const std::string& sApplicationName,
                 const std::string& siPodDrive = "");
  // 4.
  std::string iPodDriveLetter() const;
  // 5, 6.
  void iPodShuffle(bool bSet);
  bool iPodShuffle() const;
  // 7. Asks the running copy or rebuild to stop.
  Variant CancelUpdate();
  // 8. Writes the records back to the device file.
  Variant WriteiPodDB();
  // 9. Stores the length of a file in its bytes 8 to 11.
  bool Write_FileSize(const std::string& sFilePath);
  // 10. Imports a media file (or, in the modify form, rewrites a track).
  int32_t AddTrack(const std::string& sFilePath, TrackInfo& Info,
                   bool bSkipCopy = false, const std::string& siPodPath = "",
                   bool bSkipSetInfo = false, int32_t iModifiedTrackID = 0);
  // 11. Rebuilds the database from the media files on the device.
  bool ReBuildDB();
  // 12. Rewrites a track's descriptive fields.
  bool ModifyTrack(int32_t iTrackID, const TrackInfo& Info);
  // 13. Describes a loaded track.
  TrackInfo GetTrackInfo(int32_t iTrackID);
  // 14. Describes a media file.
  bool SetTrackInfo(const std::string& sFilePath, TrackInfo& tInfo);
  // 15 to 20. Copies of the loaded records.
  MHBD GetDBInfo() const;
  MHSD_T GetAllTracks() const;
  MHSD_P GetAllPlayLists() const;
  MHSD_P GetAllPodcasts() const;
  MHSD_A GetAllAlbumPlayLists() const;
  MHSD_NP GetAllNewPlayLists() const;
  // 21. Installs the blank database on the device.
  bool ResetiPodDB();
  // 22. Finds the device and returns its root.
  std::string GetiPodDriveString(int32_t hwndParent,
                                 const std::string& sApplicationName,
                                 bool bConfirm = false);
  // 23. Returns an empty Variant.
  Variant GetVideoInformation(const std::string& sFilePath);

  // The outcome of the most recent operation.
  const Status& status() const { return m_status; }
  // Sections of types other than 1 to 5 and bytes behind the counted
  // sections, kept so that a write loses nothing.
  const std::vector<MHSD_A>& OtherSections() const { return m_aOtherSections; }
  // True after a successful load or rebuild.
  bool IsLoaded() const { return m_bDBLoaded; }
  // Number of tracks marked deleted since the last load.
  int32_t DeletedTracks() const { return m_iDeletedTracks; }

  // One writer at a time. Every call that changes the device takes the
  // device's lock for its own duration, and a write refuses (kBusy) when the
  // database file is no longer the one loaded. LockDevice holds the lock
  // from now until UnlockDevice (or the object's end), so that a load, the
  // changes and the write after it form one step that no other writer comes
  // between. kBusy when another program kept the lock for longer than
  // Options::lock_wait_ms; kNotFound when the device has no iPod_Control
  // folder.
  Status LockDevice();
  void UnlockDevice();

  // Marks a track and its playlist items deleted, as DeleteTrack does, but
  // leaves the track's media file on the device: `file` receives its path
  // (as GetTrackInfo gives it in sLocation; empty when the track has no
  // location), to be passed to RemoveMusicFile once the database without
  // the track has been written. So a crash can leave a file that no track
  // lists, but never a listed track without its file.
  Status MarkTrackDeleted(int32_t iTrackID, std::string* file);
  // Deletes a media file of the device and then its folder when that is
  // left empty. Refuses (kInvalid) any path that does not lie below the
  // device's music folder once symbolic links and case are resolved: the
  // database itself, control files, anything outside the device.
  Status RemoveMusicFile(const std::string& path);

 private:
  friend class ClsCadenzaTestPeer;
  class DeviceLockScope;

  // Private routines of the operations.
  bool InstallBlankDB();
  void DetectiPodDrive(int32_t hParentWindow, const std::string& sApplicationName);
  std::string ChooseDevicePath(const std::string& sExtension);
  std::string GetTrackDBID();
  int32_t GetNextTrackID();
  std::string GetRandomLetter();
  int32_t GetRandomNumber();

  bool LoadOnce(int depth);
  bool OfferRepair(bool not_found, int depth);
  bool RunReset(int depth);
  int32_t AddTrackImpl(const std::string& sFilePath, TrackInfo& Info,
                       bool bSkipCopy, const std::string& siPodPath,
                       bool bSkipSetInfo, int32_t iModifiedTrackID);
  // Whether the device accepts a database written here (a device whose
  // checksum cannot be produced, or whose GUID is unknown, does not);
  // shows the reason and returns it when not.
  Status CheckWritable();
  Status CopyFileWithProgress(const std::string& sSource, const std::string& sTarget);
  std::string ComponentFolder() const;
  std::string DevicePath(const std::string& rel) const;
  int Ask(const std::string& text, const std::string& title, int style);

  // Builds the image of the records and stores it (below); shows what
  // failed.
  Status WriteRecords(bool must_be_unchanged);
  // Stores a complete database image as the device's database file: signs
  // it for the device, refuses when `must_be_unchanged` and the file is no
  // longer the one loaded, removes what interrupted writes left, flushes
  // the media files copied since the last write, and swaps the new file in.
  // The caller holds the device's lock.
  Status StoreDatabase(std::string image, bool must_be_unchanged);
  // Whether the database file at `path` is still the one last loaded or
  // written by this object.
  bool IsLoadedFile(const std::string& path) const;
  // Copies a damaged database file beside itself under a dated name before
  // a repair replaces it; tells the user where.
  Status KeepDamagedCopy();
  // The blank database template; tells the user when it is missing.
  Status ReadBlankTemplate(std::string* image);
  // The size the database file would have if written now.
  int64_t EstimatedFileSize() const;
  // Whether a file of `size` bytes still fits on the device with room left
  // for the database to grow and be written beside the old one.
  Status CheckRoomFor(int64_t size);

  Host* m_host;
  Options m_options;
  bool m_bShuffle = false;
  std::string m_siPodDrive;
  int32_t m_iPlaylistItemsDeleted = 0;
  int32_t m_iPodcastItemsDeleted = 0;
  std::string m_sApplicationName;
  bool m_bDBLoaded = false;
  int32_t m_iMaxIDCache = -1;  // largest track id, -1 when not known
  bool m_bRefusalShown = false;  // CheckWritable told the user already
  Status m_status;
  Random m_random;
  // The device's lock while this object holds it.
  std::unique_ptr<FileLock> m_lock;
  // The database file as last loaded or written by this object: its size,
  // time and file number, and a hash of its bytes.
  struct FileIdentity {
    int64_t size = -1;
    int64_t mtime_ns = 0;
    uint64_t inode = 0;
    size_t hash = 0;
  } m_loadedFile;
  // Media files were copied onto the device since the last write.
  bool m_bCopiedSinceWrite = false;
};

// The process-wide cancel request: non-zero when set.
int32_t CancelRequested();
void SetCancelRequest(int32_t value);

}  // namespace cadenza

#endif  // CADENZA_CADENZA_H_
