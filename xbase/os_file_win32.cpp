// OsFile over the Win32 file API. Byte-range locks are LockFileEx locks,
// which belong to the handle as the engine expects. Unlike POSIX record
// locks they are mandatory: locked bytes can't be read through another
// handle, which is why every lock the engine takes lies on bytes past any
// data (locks.h).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <chrono>
#include <thread>

#include "xbase/os_file.h"
#include "xbase/os_file_system.h"

#include "common/FileRules.h"

namespace xbase {

const char* const kPathSeparators = "\\/:";
namespace {

HANDLE H(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::string ErrorText(const std::string& path) {
  const DWORD code = GetLastError();
  char* buffer = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text = n && buffer ? std::string(buffer, n) : "error " + std::to_string(code);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) < '!' || text.back() == '.')) text.pop_back();
  return path + ": " + text;
}

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

// Splits at the last separator: {"dir\", "name.ext"}.
std::pair<std::string, std::string> SplitDir(const std::string& path) {
  size_t slash = path.find_last_of("\\/:");
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

std::string StemOf(const std::string& name) {
  size_t dot = name.find_last_of('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

std::unique_ptr<OsFile> OsFile::Open(const std::string& path, Access access, std::string* error) {
  const DWORD mode = access == Access::kReadWrite ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  HANDLE h = CreateFileA(path.c_str(), mode, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = ErrorText(path);
    return nullptr;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {
    if (error) *error = path + ": not a regular file";
    CloseHandle(h);
    return nullptr;
  }
  return std::make_unique<SystemFile>(reinterpret_cast<std::intptr_t>(h));
}

std::unique_ptr<OsFile> OsFile::Create(const std::string& path, bool exclusive, std::string* error) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                         exclusive ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = ErrorText(path);
    return nullptr;
  }
  return std::make_unique<SystemFile>(reinterpret_cast<std::intptr_t>(h));
}

SystemFile::~SystemFile() { CloseHandle(H(handle_)); }

bool SystemFile::ReadAt(uint64_t offset, void* buffer, size_t size) {
  auto* p = static_cast<char*>(buffer);
  while (size > 0) {
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    OVERLAPPED o = At(offset);
    DWORD n = 0;
    if (!ReadFile(H(handle_), p, chunk, &n, &o) || n == 0) return false;
    p += n;
    size -= n;
    offset += n;
  }
  return true;
}

bool SystemFile::WriteAt(uint64_t offset, const void* buffer, size_t size) {
  auto* p = static_cast<const char*>(buffer);
  while (size > 0) {
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    OVERLAPPED o = At(offset);
    DWORD n = 0;
    if (!WriteFile(H(handle_), p, chunk, &n, &o) || n == 0) return false;
    p += n;
    size -= n;
    offset += n;
  }
  return true;
}

std::optional<uint64_t> SystemFile::Size() {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(H(handle_), &size)) return std::nullopt;
  return static_cast<uint64_t>(size.QuadPart);
}

bool SystemFile::Truncate(uint64_t size) {
  FILE_END_OF_FILE_INFO info{};
  info.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return SetFileInformationByHandle(H(handle_), FileEndOfFileInfo, &info, sizeof info) != 0;
}

bool SystemFile::Sync() { return FlushFileBuffers(H(handle_)) != 0; }

bool SystemFile::Lock(uint64_t offset, uint64_t length, bool exclusive, int timeout_ms,
                      const std::function<bool()>& cancelled) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  for (;;) {
    OVERLAPPED o = At(offset);
    if (LockFileEx(H(handle_), flags, 0, static_cast<DWORD>(length & 0xFFFFFFFFu), static_cast<DWORD>(length >> 32),
                   &o))
      return true;
    const DWORD code = GetLastError();
    if (code != ERROR_LOCK_VIOLATION && code != ERROR_IO_PENDING) return false;
    if (std::chrono::steady_clock::now() >= deadline || (cancelled && cancelled())) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void SystemFile::Unlock(uint64_t offset, uint64_t length) {
  OVERLAPPED o = At(offset);
  UnlockFileEx(H(handle_), 0, static_cast<DWORD>(length & 0xFFFFFFFFu), static_cast<DWORD>(length >> 32), &o);
}

bool FileExists(const std::string& path) { return tidewell::files::IsRegularFile(path); }

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

// Fails while another program holds `to` open without sharing deletion;
// callers that must not wait for that write in place instead.
bool MoveFileOver(const std::string& from, const std::string& to) { return tidewell::files::MoveOver(from, to); }

bool MakeFolder(const std::string& path) {
  if (CreateDirectoryA(path.c_str(), nullptr)) return true;
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool RemoveFolder(const std::string& path) {
  WIN32_FIND_DATAA found{};
  HANDLE h = FindFirstFileA((path + "\\*").c_str(), &found);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileA((path + "\\" + found.cFileName).c_str());
    } while (FindNextFileA(h, &found));
    FindClose(h);
  }
  return RemoveDirectoryA(path.c_str()) != 0 || GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

LocalDate LocalDateAt(int64_t unix_seconds) {
  // A FILETIME counts 100 ns steps since 1601-01-01, 11644473600 s before 1970.
  const uint64_t ticks = (static_cast<uint64_t>(unix_seconds) + 11644473600ull) * 10000000ull;
  const FILETIME at{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME utc{}, local{};
  if (!FileTimeToSystemTime(&at, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return {1970, 1, 1};
  return {local.wYear, local.wMonth, local.wDay};
}

std::optional<std::string> FindCompanionFile(const std::string& path, const std::string& ext) {
  auto [dir, name] = SplitDir(path);
  // Names match without regard to case here; the search gives the name as stored.
  WIN32_FIND_DATAA found{};
  HANDLE h = FindFirstFileA((dir + StemOf(name) + ext).c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  FindClose(h);
  if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return std::nullopt;
  return dir + found.cFileName;
}


}  // namespace xbase
