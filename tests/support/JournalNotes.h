// Notes as an interrupted run leaves them in a journal, for tests that set
// one up by hand.
#pragma once

#include <cstdint>
#include <string>

#include "app/Journal.h"

namespace tidewell::test {

// A note for the row of a numeric machine and rec_num: its record `recNo`
// of `file`.
inline TJournalEntry NumberKeyNote(int machine, const std::string& recNum, const std::string& file, long recNo,
                                   std::uint64_t fingerprint = 0) {
  TJournalEntry e;
  e.Key.Machine = machine;
  e.Key.MachineNull = false;
  e.Key.MachineValue = std::to_string(machine);
  e.Key.RecNum = recNum;
  e.File = file;
  e.RecNo = recNo;
  e.Fingerprint = fingerprint;
  return e;
}

}  // namespace tidewell::test
