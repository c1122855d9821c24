#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qrv::platform {

// The mounts a process sees, as the kernel lists them in /proc/self/mountinfo.
// Used to tell which mount a folder lies on, and for a folder on a network
// mount (cifs, nfs, ...) the network name behind it: the Linux counterpart of
// asking which share a mapped drive letter stands for.
//
// Thread: a MountTable is a plain value; const members may be used from any
// thread. ReadCurrent() may be called from any thread.
class MountTable {
 public:
  struct Entry {
    std::string root;        // the folder of the file system that is mounted ("/" for all of it)
    std::string mountPoint;  // where it is mounted, absolute
    std::string fsType;      // "ext4", "cifs", "nfs4", "fuse.sshfs", ...
    std::string source;      // "/dev/sda1", "//nas/updates", "nas:/export", ...
  };

  // Parses mountinfo text. The kernel writes a space, tab, newline and
  // backslash inside a field as \040, \011, \012 and \134; these are decoded.
  // Lines that do not have the mountinfo layout are skipped, so a table with
  // no usable line is empty, never an error.
  static MountTable Parse(std::string_view mountinfo);
  // The table of this process. Empty, with the reason in LastError, when
  // /proc/self/mountinfo cannot be read.
  static MountTable ReadCurrent();

  // The mount holding an absolute, already resolved (no symbolic links, no
  // "." or "..") path: the entry whose mount point is the longest prefix of
  // the path on a '/' boundary; of two mounts on the same point the later one
  // (mounted on top) wins. nullptr when none matches (a relative path, or an
  // empty table). The pointer is valid while the table lives.
  const Entry* Find(std::string_view path) const;

  // True for the file-system types whose files live on another machine.
  static bool IsNetworkType(std::string_view fsType);

  // The network name of path on its mount: the mount's source, the folder of
  // the file system it mounts (when the source does not already end in it)
  // and the rest of path below the mount point. Example: path
  // "/mnt/nas/2024/x" on a cifs mount of "//nas/updates" at "/mnt/nas" gives
  // "//nas/updates/2024/x".
  static std::string NetworkName(const Entry& entry, std::string_view path);

  const std::vector<Entry>& Entries() const { return m_entries; }

 private:
  std::vector<Entry> m_entries;
};

}  // namespace qrv::platform
