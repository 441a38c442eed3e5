// Device-relative paths the component uses, written as on the device with
// "\" separators.
#ifndef CADENZA_COMPONENT_PATHS_H_
#define CADENZA_COMPONENT_PATHS_H_

namespace cadenza {

inline constexpr char kControlFolder[] = "iPod_Control";
inline constexpr char kITunesFolder[] = "iPod_Control\\iTunes";
inline constexpr char kMusicFolder[] = "iPod_Control\\Music";
// A new database file takes this spelling; an existing one keeps its own
// (the device's file systems ignore case, other readers may not).
inline constexpr char kDatabaseFile[] = "iPod_Control\\iTunes\\iTunesDB";
// The lock file that one writer at a time holds.
inline constexpr char kLockFile[] = "iPod_Control\\.cadenza.lock";
// The database an iPod shuffle plays from.
inline constexpr char kShuffleFile[] = "iPod_Control\\iTunes\\iTunesSD";
inline constexpr char kTemplateName[] = "Cadenza";
inline constexpr char kCrLf[] = "\r\n";

}  // namespace cadenza

#endif  // CADENZA_COMPONENT_PATHS_H_
