#include "xbase/os_file.h"
#include "xbase/os_file_system.h"

#include "common/FileRules.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <chrono>
#include <unistd.h>

namespace xbase {

const char* const kPathSeparators = "/";
namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

std::string ErrnoText(const std::string& path) { return path + ": " + std::strerror(errno); }

// Open-file-description locks where the kernel has them: a lock then belongs
// to this handle, and closing another handle on the same file keeps it.
#ifdef F_OFD_SETLK
constexpr int kSetLock = F_OFD_SETLK;
#else
constexpr int kSetLock = F_SETLK;
#endif

bool SetLock(int fd, short type, uint64_t offset, uint64_t length) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(length);
  fl.l_pid = 0;
  return fcntl(fd, kSetLock, &fl) == 0;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

// Splits at the last separator: {"dir/", "name.ext"}.
std::pair<std::string, std::string> SplitDir(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

std::string StemOf(const std::string& name) {
  size_t dot = name.find_last_of('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace

std::unique_ptr<OsFile> OsFile::Open(const std::string& path, Access access, std::string* error) {
  int flags = (access == Access::kReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    if (error) *error = ErrnoText(path);
    return nullptr;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (error) *error = path + ": not a regular file";
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<SystemFile>(fd);
}

std::unique_ptr<OsFile> OsFile::Create(const std::string& path, bool exclusive, std::string* error) {
  int flags = O_RDWR | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
  int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) {
    if (error) *error = ErrnoText(path);
    return nullptr;
  }
  return std::make_unique<SystemFile>(fd);
}

SystemFile::~SystemFile() { ::close(Fd(handle_)); }

bool SystemFile::ReadAt(uint64_t offset, void* buffer, size_t size) {
  auto* p = static_cast<char*>(buffer);
  while (size > 0) {
    ssize_t n = ::pread(Fd(handle_), p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool SystemFile::WriteAt(uint64_t offset, const void* buffer, size_t size) {
  auto* p = static_cast<const char*>(buffer);
  while (size > 0) {
    ssize_t n = ::pwrite(Fd(handle_), p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

std::optional<uint64_t> SystemFile::Size() {
  struct stat st {};
  if (fstat(Fd(handle_), &st) != 0) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

bool SystemFile::Truncate(uint64_t size) {
  int rc;
  do {
    rc = ftruncate(Fd(handle_), static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool SystemFile::Sync() { return ::fdatasync(Fd(handle_)) == 0; }

bool SystemFile::Lock(uint64_t offset, uint64_t length, bool exclusive, int timeout_ms,
                      const std::function<bool()>& cancelled) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  short type = exclusive ? F_WRLCK : F_RDLCK;
  for (;;) {
    if (SetLock(Fd(handle_), type, offset, length)) return true;
    if (errno != EACCES && errno != EAGAIN && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline || (cancelled && cancelled())) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void SystemFile::Unlock(uint64_t offset, uint64_t length) { SetLock(Fd(handle_), F_UNLCK, offset, length); }

bool FileExists(const std::string& path) { return tidewell::files::IsRegularFile(path); }

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool MoveFileOver(const std::string& from, const std::string& to) { return tidewell::files::MoveOver(from, to); }

bool MakeFolder(const std::string& path) {
  struct stat st {};
  return ::mkdir(path.c_str(), 0777) == 0 || (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

bool RemoveFolder(const std::string& path) {
  if (DIR* d = ::opendir(path.c_str())) {
    while (struct dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") ::unlink((path + "/" + name).c_str());
    }
    ::closedir(d);
  }
  struct stat st {};
  return ::rmdir(path.c_str()) == 0 || ::stat(path.c_str(), &st) != 0;
}

LocalDate LocalDateAt(int64_t unix_seconds) {
  const auto at = static_cast<std::time_t>(unix_seconds);
  std::tm tm {};
  localtime_r(&at, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

std::optional<std::string> FindCompanionFile(const std::string& path, const std::string& ext) {
  auto [dir, name] = SplitDir(path);
  std::string stem = StemOf(name);
  // The common cases first, without listing the directory.
  for (const std::string& candidate : {CompanionName(path, ext), dir + stem + ext}) {
    if (FileExists(candidate)) return candidate;
  }
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return std::nullopt;
  std::optional<std::string> found;
  std::string wanted = stem + ext;
  while (struct dirent* e = ::readdir(d)) {
    if (SameIgnoringCase(e->d_name, wanted) && FileExists(dir + e->d_name)) {
      found = dir + e->d_name;
      break;
    }
  }
  ::closedir(d);
  return found;
}


}  // namespace xbase
