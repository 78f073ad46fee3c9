// TConverterLock: one converter per table at a time, for every process on
// every machine that reaches the same share and database. A run of a table
// takes, before it reads or writes anything of that table:
//   1. the lock file .tidewell-<table>.lock in the table's output folder on
//      the share (netw/weight/.tidewell-weight.lock), held with a byte-range
//      lock the file server honours; the file names its holder (host,
//      process id, executable, since when);
//   2. the lock file <table>.lock beside the table's journal, so that two
//      processes of one installation never use one journal, whatever the
//      share is like;
//   3. where the database has named locks (MariaDB, MySQL), the lock
//      tidewell.<database>.<table>, so that converters writing to
//      different shares still take turns at the rows.
// None of them waits: when another converter holds one, the run logs one
// line naming the holder and skips the table for this cycle. A lock that
// can't be taken for another reason (a missing output folder, a database
// without named locks) is passed over: the run goes on as it would alone,
// and meets the folder's problem where it always did.
//
// Everything is released when the object goes, on every path; the locks
// also go with the process and with its connection.
#pragma once

#include <string>

#include "platform/SharedFiles.h"

namespace tidewell {

class TODBC;

class TConverterLock {
 public:
  explicit TConverterLock(TODBC* odbc) : FOdbc(odbc) {}
  ~TConverterLock();
  TConverterLock(const TConverterLock&) = delete;
  TConverterLock& operator=(const TConverterLock&) = delete;

  // Takes the three locks. False when another converter holds one: Holder
  // then names it, and the line "<table> is being converted by another
  // converter (...); this cycle skips it" is logged.
  bool Take(const std::string& table, const std::string& outputDir, const std::string& journalDir);
  void Release();
  std::string Holder;

  // The text a lock file holds: who holds it, and since when.
  static std::string HolderText();
  // The database lock's name for a database and table; at most 64
  // characters, as the servers allow.
  static std::string DatabaseLockName(const std::string& database, const std::string& table);

 private:
  bool TakeFile(platform::TLockFile& lock, const std::string& path);
  bool TakeDatabaseLock(const std::string& table);
  TODBC* FOdbc;
  platform::TLockFile FShareLock, FJournalLock;
  std::string FDatabaseLock;  // the name of the named lock held, if any
};

}  // namespace tidewell
