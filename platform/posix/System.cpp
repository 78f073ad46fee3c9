#include "platform/System.h"
#include "platform/PathDelimiter.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "common/BuildConfig.h"
#include "common/FileRules.h"

namespace platform {

const char PathDelim = '/';

std::uint32_t GetTickCount() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void Sleep(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string ExecutablePath() {
  std::vector<char> buf(PATH_MAX + 1);
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

std::optional<std::array<std::uint16_t, 4>> FileVersion(const std::string& fileName) {
  // Executables here carry no version resource; the running one knows its own.
  if (!fileName.empty() && fileName != ExecutablePath()) return std::nullopt;
  std::array<std::uint16_t, 4> v{};
  for (int i = 0; i < 4; ++i) v[static_cast<size_t>(i)] = static_cast<std::uint16_t>(tidewell::VersionParts[i]);
  return v;
}

std::string::size_type detail::LastPathDelimiter(const std::string& path) { return path.rfind('/'); }

std::string ExtractFileDir(const std::string& path) {
  const auto pos = path.rfind('/');
  if (pos == std::string::npos) return {};
  if (pos == 0) return "/";
  return path.substr(0, pos);
}

std::string GetCurrentDir() {
  std::vector<char> buf(PATH_MAX + 1);
  if (!getcwd(buf.data(), buf.size())) return {};
  return buf.data();
}

std::string ExpandFileName(const std::string& path) {
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    std::string cwd = GetCurrentDir();
    full = cwd + (cwd.empty() || cwd.back() != '/' ? "/" : "") + path;
  }
  // Resolve "." and ".." textually, as Windows does with a path (no symlinks),
  // so that a folder named through a link stays the one the settings name.
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= full.size()) {
    size_t j = full.find('/', i);
    if (j == std::string::npos) j = full.size();
    std::string part = full.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out;
  for (const auto& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

bool DirectoryExists(const std::string& dir) {
  struct stat st {};
  return !dir.empty() && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& dir) {
  if (dir.empty()) return false;
  if (DirectoryExists(dir)) return true;
  std::string parent = ExtractFileDir(dir);
  if (!parent.empty() && parent != dir && !ForceDirectories(parent)) return false;
  return mkdir(dir.c_str(), 0777) == 0 || (errno == EEXIST && DirectoryExists(dir));
}

namespace {

std::string UserName(uid_t uid) {
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found) return found->pw_name;
  return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  std::vector<char> buf(16384);
  group gr{};
  group* found = nullptr;
  if (getgrgid_r(gid, &gr, buf.data(), buf.size(), &found) == 0 && found) return found->gr_name;
  return std::to_string(gid);
}

}  // namespace

bool ReadableByOthers(const std::string& path, const std::string& trustedGroup) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  if (st.st_mode & S_IROTH) return true;
  // A group of its own lets the service read the file and nobody else.
  return (st.st_mode & S_IRGRP) != 0 && (trustedGroup.empty() || GroupName(st.st_gid) != trustedGroup);
}

std::string ResolveLinks(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (!resolved) return path;
  std::string out(resolved);
  free(resolved);
  return out;
}

std::optional<TFileOwnership> FileOwnership(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return TFileOwnership{UserName(st.st_uid), GroupName(st.st_gid), static_cast<unsigned>(st.st_mode & 07777)};
}

bool CanRead(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

bool CanWriteInto(const std::string& folder) {
  return DirectoryExists(folder) && access(folder.c_str(), W_OK | X_OK) == 0;
}

std::string CurrentUserName() { return UserName(geteuid()); }

bool UserAccountExists(const std::string& name) {
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* found = nullptr;
  return getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found) == 0 && found;
}

bool FileExists(const std::string& path) { return tidewell::files::IsRegularFile(path); }

bool PathExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && lstat(path.c_str(), &st) == 0;
}

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool RemoveFile(const std::string& path) {
  // A read-only file refuses deletion, as it does on the desktop system.
  if (access(path.c_str(), W_OK) != 0 && errno == EACCES) return false;
  return unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
  // The desktop rename never replaces an existing file.
  if (PathExists(to)) return false;
  return rename(from.c_str(), to.c_str()) == 0;
}

bool SyncPath(const std::string& path) {
  if (DirectoryExists(path)) return tidewell::files::SyncFolder(path);
  // Any descriptor of a file syncs its data.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

bool SyncPaths(const std::vector<std::string>& paths) {
  // Each path by itself, never its whole file system: that would wait for
  // every other program's writes on the share, and its error could be
  // theirs or miss ours. Every path is tried, whatever failed before.
  bool ok = true;
  std::vector<std::string> done;
  for (const auto& path : paths) {
    if (std::find(done.begin(), done.end(), path) != done.end()) continue;
    done.push_back(path);
    ok = SyncPath(path) && ok;
  }
  return ok;
}

bool MoveFileOver(const std::string& from, const std::string& to) { return tidewell::files::MoveOver(from, to); }

bool SetReadOnly(const std::string& path, bool readOnly) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  mode = readOnly ? (mode & ~static_cast<mode_t>(0222)) : (mode | S_IWUSR);
  return chmod(path.c_str(), mode) == 0;
}

bool CreateEmptyFile(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  close(fd);
  return true;
}

TSharedFile::~TSharedFile() { Close(); }

bool TSharedFile::Open(const std::string& path) {
  Close();
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  FHandle = fd;
  return true;
}

bool TSharedFile::SeekToEnd() { return IsOpen() && lseek(static_cast<int>(FHandle), 0, SEEK_END) >= 0; }

bool TSharedFile::Write(const void* data, std::size_t size) {
  if (!IsOpen()) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(static_cast<int>(FHandle), p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool TSharedFile::Sync() { return IsOpen() && fdatasync(static_cast<int>(FHandle)) == 0; }

bool TSharedFile::Truncate(std::uint64_t size) {
  return IsOpen() && ftruncate(static_cast<int>(FHandle), static_cast<off_t>(size)) == 0 &&
         lseek(static_cast<int>(FHandle), 0, SEEK_END) >= 0;
}

void TSharedFile::Close() {
  if (IsOpen()) close(static_cast<int>(FHandle));
  FHandle = Invalid;
}

TLibraryHandle LoadDynamicLibrary(const std::string& name) { return dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL); }

void* GetLibrarySymbol(TLibraryHandle library, const char* name) {
  if (!library || !name) return nullptr;
  return dlsym(library, name);
}

void FreeDynamicLibrary(TLibraryHandle library) {
  if (library) dlclose(library);
}

int ShowMessageBox(const std::string& text, const std::string& caption, TBoxKind kind) {
  PrintMessage(text, caption, kind);
  return 1;
}

void WriteEventLog(const std::string& source, const std::string& text) {
  // openlog keeps the identifier pointer, so keep it alive for the process.
  static std::string ident;
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  ident = source;
  openlog(ident.c_str(), LOG_PID, LOG_DAEMON);
  syslog(LOG_ERR, "%s", text.c_str());
  closelog();
}

int LastErrorCode() { return errno; }

std::string SysErrorMessage(int code) {
  char buf[256];
  std::string text = strerror_r(code, buf, sizeof buf);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) < '!' || text.back() == '.')) text.pop_back();
  return text;
}

void WatchControlRequests(std::function<void(TControlRequest request)> handler) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
  // Blocked in this thread before any other exists, so every later thread
  // inherits the mask and none of these signals can end the process.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, handler = std::move(handler)] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      switch (sig) {
        case SIGINT: handler(crInterrupt); break;
        case SIGTERM: handler(crTerminate); break;
        case SIGHUP: handler(crHangUp); break;
        case SIGUSR1: handler(crPause); break;
        case SIGUSR2: handler(crContinue); break;
      }
    }
  }).detach();
}

}  // namespace platform
