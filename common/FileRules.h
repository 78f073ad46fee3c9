// Two file rules the program and its dBASE engine share, so that both mean
// the same by them:
//   IsRegularFile  a file exists at `path` when a regular file is there (a
//                  link to one counts); a folder, a device or a pipe is no
//                  file, and nothing is read from or written over one as if
//                  it were.
//   MoveOver       moves `from` over `to` in one step: a reader finds the old
//                  file or the new one, never a mix, and a crash leaves one
//                  of the two whole. POSIX: the folder's new entry is synced
//                  as well, and a failed sync is a failed move (the move has
//                  happened, but may be lost in a power cut) - except where
//                  the file system offers no sync of folders at all
//                  (EINVAL), whose entries are its own to keep. Windows: the
//                  move is written through. Both must be on one volume.
// Header-only and dependent on nothing but the system's headers, so that
// the engine in xbase/, which links nothing of the service, uses it too.
#pragma once

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tidewell::files {

#ifdef _WIN32

inline bool IsRegularFile(const std::string& path) {
  if (path.empty()) return false;
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

inline bool MoveOver(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

#else

inline bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Syncs a folder's entries (files created, moved or removed in it); true
// also where the file system offers no sync of folders (see above).
inline bool SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
  ::close(fd);
  return ok;
}

// SyncFolder for the folder that holds `path`.
inline bool SyncFolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return SyncFolder(slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash));
}

inline bool MoveOver(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 && SyncFolderOf(to);
}

#endif

}  // namespace tidewell::files
