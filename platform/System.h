// Operating-system services the program uses outside messaging: time,
// sleeping, the executable's own path and version, files and folders,
// run-time library loading, message boxes, the system event log and
// termination signals. Each has a POSIX and a Windows implementation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Path separator of file names on this platform.
extern const char PathDelim;

// Milliseconds since an arbitrary start, wrapping at 2^32 like the system tick.
std::uint32_t GetTickCount();
void Sleep(std::uint32_t ms);

// Full path of the running executable.
std::string ExecutablePath();
// The executable's file version, four 16-bit parts; empty when unknown.
// Only the running executable carries one here (compiled in).
std::optional<std::array<std::uint16_t, 4>> FileVersion(const std::string& fileName);

// File name helpers on platform separators.
std::string ExtractFileDir(const std::string& path);   // without trailing separator
std::string ExtractFilePath(const std::string& path);  // with trailing separator
std::string ExtractFileName(const std::string& path);
std::string ExtractFileExt(const std::string& path);   // with the dot, or empty
std::string ChangeFileExt(const std::string& path, const std::string& ext);
std::string ExpandFileName(const std::string& path);   // absolute, "." and ".." resolved
std::string GetCurrentDir();

// Files and folders. Each answers success and never throws.
bool ForceDirectories(const std::string& dir);  // with all missing parents
bool DirectoryExists(const std::string& dir);
// True when users other than the file's owner may read it: everyone, or a
// group other than trustedGroup (the service's own, when given). Always false
// where files carry access lists instead (Windows).
bool ReadableByOthers(const std::string& path, const std::string& trustedGroup = std::string());
// The path with every symbolic link in it resolved; the path itself when it
// can't be (it does not exist).
std::string ResolveLinks(const std::string& path);
// Owner, group and permission bits of a file or folder, as an administrator
// reads them ("root", "tidewell", 0640). Empty where files carry access
// lists instead (Windows) or when it does not exist.
struct TFileOwnership {
  std::string Owner, Group;
  unsigned Mode = 0;
};
std::optional<TFileOwnership> FileOwnership(const std::string& path);
// Whether this process may read a file, or create files in a folder: the
// system's own answer for the running user.
bool CanRead(const std::string& path);
bool CanWriteInto(const std::string& folder);
// The name of the user this process runs as.
std::string CurrentUserName();
// Whether a local user account of that name exists. Always false on
// Windows, where services run as the local system account.
bool UserAccountExists(const std::string& name);
// A regular file is at `path` (common/FileRules.h: IsRegularFile): not a
// folder, a device or a pipe.
bool FileExists(const std::string& path);
// Anything is at `path`: a file, a folder, a device, a link (even one that
// leads nowhere).
bool PathExists(const std::string& path);
// True when standard error goes to a terminal (a person watches it).
bool StandardErrorIsTerminal();
bool RemoveFile(const std::string& path);
bool RenameFile(const std::string& from, const std::string& to);
bool SetReadOnly(const std::string& path, bool readOnly);
bool CreateEmptyFile(const std::string& path);  // fails when it exists already
// Moves `from` over `to` in one step, replacing it: a crash leaves one of the
// two, whole. The move itself is written through to the disk; false also
// when the move happened but could not be (common/FileRules.h: MoveOver).
bool MoveFileOver(const std::string& from, const std::string& to);
// Writes a file's (or, on POSIX, a folder's entries') cached changes through
// to the disk. True when there was nothing to write or all of it went (a
// folder: see common/FileRules.h, SyncFolder).
bool SyncPath(const std::string& path);
// SyncPath for each of many paths (each once), every one tried; true when
// all went. Only these files and folders are synced, not the file system
// they are on.
bool SyncPaths(const std::vector<std::string>& paths);

// A file opened for reading and writing while other programs may also read
// and write it (but, on Windows, not delete it).
class TSharedFile {
 public:
  TSharedFile() = default;
  ~TSharedFile();
  TSharedFile(const TSharedFile&) = delete;
  TSharedFile& operator=(const TSharedFile&) = delete;

  bool Open(const std::string& path);
  bool SeekToEnd();
  // True when every byte was written.
  bool Write(const void* data, std::size_t size);
  // Writes what was written so far through to the disk.
  bool Sync();
  // Cuts the file to `size` bytes; the position moves to its end.
  bool Truncate(std::uint64_t size);
  void Close();
  bool IsOpen() const { return FHandle != Invalid; }

 private:
  static constexpr std::intptr_t Invalid = -1;
  std::intptr_t FHandle = Invalid;
};

// Run-time libraries. A null handle or address means failure.
using TLibraryHandle = void*;
TLibraryHandle LoadDynamicLibrary(const std::string& name);
void* GetLibrarySymbol(TLibraryHandle library, const char* name);
void FreeDynamicLibrary(TLibraryHandle library);

// Desktop message boxes; with no desktop, one line on standard error for
// errors and standard output for information. Returns the button (1 = OK).
enum class TBoxKind { Information, Error };
int ShowMessageBox(const std::string& text, const std::string& caption, TBoxKind kind);
// The message as a line on the console, "caption: text" (errors on standard
// error): where there is no desktop to show a box on.
void PrintMessage(const std::string& text, const std::string& caption, TBoxKind kind);

// An error entry in the system event log under the given source name.
void WriteEventLog(const std::string& source, const std::string& text);

// System text of an error code: trailing blanks, line ends and periods removed.
std::string SysErrorMessage(int code);
// The code of the last failed system call of this thread (errno, or the
// system's last error on Windows).
int LastErrorCode();

// What an administrator can ask of a process in the foreground: the signals
// a service answers (POSIX: SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2; on a
// Windows console Ctrl+C and Ctrl+Break are interrupts, closing the window
// or a shutdown a termination).
enum TControlRequest { crInterrupt, crTerminate, crHangUp, crPause, crContinue };

// Calls the handler (on a thread of its own) for each such request the
// process receives; none of them ends the process by itself any more.
// Must be called before other threads are started.
void WatchControlRequests(std::function<void(TControlRequest request)> handler);

}  // namespace platform
