// OsFile: the few operating-system services the engine needs: files with
// positioned reads and writes and byte-range locks that other processes see,
// companion file lookup and local dates. os_file_posix.cpp and
// os_file_win32.cpp implement them; nothing else in xbase/ calls the
// operating system, but for the text conversion of code_page_*.cpp and the
// clock of env.cpp.
//
// OsFile is an interface: OsFile::Open and OsFile::Create give the system's
// files, and an Env (env.h) may hand out others (a test's, that fail a write
// on purpose). The engine opens its files through an Env.
//
// Reads and writes are all-or-nothing: a short read or write returns false.
// Locks are advisory. On Windows (LockFileEx) and on Linux (open file
// description locks) they are held per open file, not per process, so two
// handles on one file in the same process exclude each other as two
// programs would. Where the kernel has only classic POSIX record locks they
// belong to the process: two handles of one process do not exclude each
// other, and closing any handle on a file lets go of every lock the process
// holds on it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace xbase {

class OsFile {
 public:
  enum class Access { kReadOnly, kReadWrite };

  // Opens an existing regular file of the system. On failure returns null
  // and sets *error.
  static std::unique_ptr<OsFile> Open(const std::string& path, Access access, std::string* error);
  // Creates a file of the system for reading and writing; with exclusive
  // set an existing file is an error, otherwise it is truncated.
  static std::unique_ptr<OsFile> Create(const std::string& path, bool exclusive, std::string* error);

  OsFile() = default;
  virtual ~OsFile() = default;
  OsFile(const OsFile&) = delete;
  OsFile& operator=(const OsFile&) = delete;

  virtual bool ReadAt(uint64_t offset, void* buffer, size_t size) = 0;
  virtual bool WriteAt(uint64_t offset, const void* buffer, size_t size) = 0;
  virtual std::optional<uint64_t> Size() = 0;
  // Cuts the file (or extends it with zeros) to `size` bytes.
  virtual bool Truncate(uint64_t size) = 0;
  // Pushes what was written so far to the disk, so that a later write
  // can't reach the disk before it (a power cut keeps the order).
  virtual bool Sync() = 0;

  // Takes an exclusive (or shared) lock on [offset, offset + length), waiting
  // at most timeout_ms for another holder to let go, and no longer once
  // `cancelled` (when given) says so.
  virtual bool Lock(uint64_t offset, uint64_t length, bool exclusive, int timeout_ms,
                    const std::function<bool()>& cancelled = {}) = 0;
  virtual void Unlock(uint64_t offset, uint64_t length) = 0;
};

// A regular file is at `path` (common/FileRules.h: IsRegularFile).
bool FileExists(const std::string& path);

// Characters that end a folder's name in a path on this system.
extern const char* const kPathSeparators;
bool RemoveFile(const std::string& path);

// Moves `from` to `to` in one step, replacing `to`: a reader finds the old
// file or the new one, never a mix. Both must be on one volume. False also
// when the move happened but could not be made durable (common/FileRules.h:
// MoveOver). On Windows it fails while another program holds `to` open
// without sharing deletion.
bool MoveFileOver(const std::string& from, const std::string& to);

// A folder for files under construction; true when it exists afterwards.
bool MakeFolder(const std::string& path);
// Removes a folder with the files in it (not folders); true when it is gone.
bool RemoveFolder(const std::string& path);

struct LocalDate {
  int year, month, day;
};
// The date in this system's time zone at `unix_seconds` (seconds since
// 1970-01-01 UTC).
LocalDate LocalDateAt(int64_t unix_seconds);

// The file beside `path` with the same base name and extension `ext` (".fpt",
// ".dbt", ...), compared without regard to letter case: templates are often
// copied from Windows with upper-case names.
std::optional<std::string> FindCompanionFile(const std::string& path, const std::string& ext);

// `path` with its extension replaced by `ext`, in the letter case of the
// extension it had (DATA.DBF -> DATA.FPT, data.dbf -> data.fpt).
std::string CompanionName(const std::string& path, const std::string& ext);

}  // namespace xbase
