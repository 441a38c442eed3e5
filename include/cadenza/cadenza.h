// clsCadenza: the historic class through which a host program manages the
// music database of an iPod mounted as a disk.
//
// A host creates it, calls initlaize with the device's mount point, then
// LoadiPodDB, the query and editing operations, and WriteiPodDB. Questions to
// the user, progress events and turns of the host's message loop go through
// the Host the object was created with.
//
// It is a thin layer over Library (cadenza/library.h), which does the work
// and reports outcomes as statuses: this class turns them into the
// questions, messages and results of the historic interface (WriteiPodDB
// returns an empty Variant, ModifyTrack returns false, ...). The real outcome
// of the most recent operation is available to C++ callers from status().
#ifndef CADENZA_CADENZA_H_
#define CADENZA_CADENZA_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "cadenza/host.h"
#include "cadenza/library.h"
#include "cadenza/options.h"
#include "cadenza/records.h"
#include "cadenza/status.h"
#include "cadenza/tags.h"

namespace cadenza {

// The result type of members that historically return nothing useful.
using Variant = std::monostate;

class clsCadenza {
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
  const std::vector<MHSD_A>& OtherSections() const { return m_lib.database().m_aOtherSections; }
  // True after a successful load or rebuild.
  bool IsLoaded() const { return m_lib.loaded(); }
  // Number of tracks marked deleted since the last load.
  int32_t DeletedTracks() const { return static_cast<int32_t>(m_lib.deleted_count()); }

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

 // The library under this object, for C++ callers that want the modern
  // interface's views of the same records.
  const Library& library() const { return m_lib; }

 private:
  void DetectiPodDrive(int32_t hParentWindow, const std::string& sApplicationName);
  // Points the object at a device root (no load).
  void SetRoot(const std::string& root);
  std::string ComponentFolder() const;
  bool LoadOnce(int depth);
  bool OfferRepair(bool not_found, int depth);
  bool RunReset(int depth);
  int32_t AddTrackImpl(const std::string& sFilePath, TrackInfo& Info, bool bSkipCopy,
                       const std::string& siPodPath, bool bSkipSetInfo,
                       int32_t iModifiedTrackID);
  // Whether the device accepts a database written here; shows the reason
  // and returns it when not.
  Status CheckWritable();
  // Writes the records; shows what failed.
  Status WriteRecords();
  // The blank template is there; tells the user when it is missing.
  bool HasBlankTemplate();
  bool InstallBlankDB();
  int Ask(const std::string& text, const std::string& title, int style);
  // The messages of a file that could not be described or entered.
  void ShowAnalysisError(const Status& st);
  void ShowAddError(const std::string& file, const Status& st);
  // Turns the library's progress into the host's events.
  void OnProgress(const Progress& p);

  Host* m_host;
  Library m_lib;
  std::string m_sApplicationName;
  bool m_bRefusalShown = false;  // CheckWritable told the user already
  Status m_status;
  // What the rebuild under way has reported.
  bool m_bRebuildFiles = false;
  // The tags SetTrackInfo last read, and of which file: AddTrack enters
  // them with the description it made.
  Tags m_lastTags;
  std::string m_sLastTagsFile;
};

}  // namespace cadenza

#endif  // CADENZA_CADENZA_H_
