// An Env for tests: the system's files, seen and steered from the test. It
// counts the bytes read from each file and the files opened, makes the
// writes a test chooses fail (as a full disk would), and runs a clock the
// test moves by hand.
#pragma once

#include "xbase/env.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace xbase::test {

class TestEnv final : public Env {
 public:
  // Asked before every write: true makes it fail, writing nothing.
  std::function<bool(const std::string& path, uint64_t offset, size_t size)> fail_write;

  std::unique_ptr<OsFile> Open(const std::string& path, OsFile::Access access, std::string* error) override {
    ++opens[path];
    return Wrap(path, OsFile::Open(path, access, error));
  }
  std::unique_ptr<OsFile> Create(const std::string& path, bool exclusive, std::string* error) override {
    ++opens[path];
    return Wrap(path, OsFile::Create(path, exclusive, error));
  }

  int64_t MonotonicMs() override { return monotonic_ms; }
  int64_t UnixSeconds() override { return unix_seconds; }
  void Advance(int64_t ms) {
    monotonic_ms += ms;
    unix_seconds += ms / 1000;
  }

  int64_t monotonic_ms = 1'000'000;
  int64_t unix_seconds = 1'781'000'000;  // 2026-06-09
  std::map<std::string, uint64_t> bytes_read;
  std::map<std::string, int> opens;
  std::map<std::string, int> failed_writes;

 private:
  class File final : public OsFile {
   public:
    File(TestEnv& env, std::string path, std::unique_ptr<OsFile> file)
        : env_(env), path_(std::move(path)), file_(std::move(file)) {}
    bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
      env_.bytes_read[path_] += size;
      return file_->ReadAt(offset, buffer, size);
    }
    bool WriteAt(uint64_t offset, const void* buffer, size_t size) override {
      if (env_.fail_write && env_.fail_write(path_, offset, size)) {
        ++env_.failed_writes[path_];
        return false;
      }
      return file_->WriteAt(offset, buffer, size);
    }
    std::optional<uint64_t> Size() override { return file_->Size(); }
    bool Truncate(uint64_t size) override { return file_->Truncate(size); }
    bool Sync() override { return file_->Sync(); }
    bool Lock(uint64_t offset, uint64_t length, bool exclusive, int timeout_ms,
              const std::function<bool()>& cancelled) override {
      return file_->Lock(offset, length, exclusive, timeout_ms, cancelled);
    }
    void Unlock(uint64_t offset, uint64_t length) override { file_->Unlock(offset, length); }

   private:
    TestEnv& env_;
    std::string path_;
    std::unique_ptr<OsFile> file_;
  };

  std::unique_ptr<OsFile> Wrap(const std::string& path, std::unique_ptr<OsFile> file) {
    if (!file) return nullptr;
    return std::make_unique<File>(*this, path, std::move(file));
  }
};

}  // namespace xbase::test
