// SystemFile: the OsFile of the operating system, over its own handle (a
// descriptor on POSIX, a HANDLE on Windows). Declared once here for
// os_file_posix.cpp and os_file_win32.cpp, which implement it; nothing else
// includes this header.
#pragma once

#include "xbase/os_file.h"

namespace xbase {

class SystemFile final : public OsFile {
 public:
  explicit SystemFile(std::intptr_t handle) : handle_(handle) {}
  ~SystemFile() override;
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override;
  bool WriteAt(uint64_t offset, const void* buffer, size_t size) override;
  std::optional<uint64_t> Size() override;
  bool Truncate(uint64_t size) override;
  bool Sync() override;
  bool Lock(uint64_t offset, uint64_t length, bool exclusive, int timeout_ms,
            const std::function<bool()>& cancelled) override;
  void Unlock(uint64_t offset, uint64_t length) override;

 private:
  std::intptr_t handle_;
};

}  // namespace xbase
