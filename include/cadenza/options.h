// Options: how a program that embeds Cadenza wants a device handled. One
// struct serves the modern interface (Library), the historic class and the
// device probes.
#ifndef CADENZA_OPTIONS_H_
#define CADENZA_OPTIONS_H_

#include <string>

namespace cadenza {

struct Options {
  // Folder that holds the blank database template "Cadenza" and where the
  // external analysers (ffmpeg, mpgtx) are looked for first. Empty: the
  // running program's folder, then its ../share/cadenza.
  std::string component_folder;
  // Roots of the kernel's device tree and the mount table, for finding the
  // iPod and the USB device behind a volume. Tests point them at a fake tree.
  std::string sysfs_root = "/sys";
  std::string mountinfo_path = "/proc/self/mountinfo";
  // Historic class only: whether a load that fails offers to rebuild or
  // reset the database. false: the load fails with the reason and nothing
  // on the device changes (for programs that only read).
  bool offer_repair = true;
  // How long a call that changes the device waits for another program
  // that is changing it, in milliseconds.
  int lock_wait_ms = 3000;
  // The device is an iPod shuffle: a rebuild leaves video files out.
  bool shuffle = false;
};

}  // namespace cadenza

#endif  // CADENZA_OPTIONS_H_
