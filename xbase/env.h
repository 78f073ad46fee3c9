// Env: what the engine asks of the world outside the process, in one
// object: its files and its clock. Env::System() is the operating system's;
// a caller passes another (TableOptions::env, and the memo and index
// openers) to move time or to make a file fail, so that tests inject time
// and faults instead of waiting for them.
//
// An object made with an Env keeps a pointer to it: the Env must outlive
// every table, memo file and index opened through it. A null Env* stands
// for Env::System() wherever one is taken. The system's Env is stateless
// and may be shared by every thread; one of a test is the test's to guard.
#pragma once

#include "xbase/os_file.h"

#include <cstdint>
#include <memory>
#include <string>

namespace xbase {

class Env {
 public:
  static Env& System();
  // `env`, or the system's when null.
  static Env& Or(Env* env) { return env ? *env : System(); }

  Env() = default;
  virtual ~Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;

  // As OsFile::Open and OsFile::Create.
  virtual std::unique_ptr<OsFile> Open(const std::string& path, OsFile::Access access, std::string* error);
  virtual std::unique_ptr<OsFile> Create(const std::string& path, bool exclusive, std::string* error);

  // Milliseconds on a clock that never goes back, for intervals only.
  virtual int64_t MonotonicMs();
  // Seconds since 1970-01-01 00:00 UTC: the dates files are stamped with.
  virtual int64_t UnixSeconds();

  // Today in the system's time zone (table headers), and in UTC (index
  // headers, which have no time zone), both at UnixSeconds().
  LocalDate Today() { return LocalDateAt(UnixSeconds()); }
  LocalDate UtcToday();
};

}  // namespace xbase
