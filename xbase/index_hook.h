// IndexMaintainer: how a table keeps its production index in step.
//
// A table calls AddRecord once for every record it appended, when that
// record's values are final: when the next record is appended, or at
// Flush, Go, UndoAppend or Close; and for every record another program
// appended since the table last looked, when its next batch of appends
// begins. Finish writes the index out and may come many times, with more
// AddRecord calls after it: at a Flush once index_write_ms has passed since
// the last write, at UndoAppend (the keys of a record taken back leave the
// file before the record does) and at Close. A false result is reported by
// the table and ends nothing: the record stays in the table.
// Implementations (compound .cdx, dBASE IV .mdx) read the fields they need
// from the record bytes through the table's header.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace xbase {

class IndexMaintainer {
 public:
  virtual ~IndexMaintainer() = default;
  virtual bool AddRecord(uint32_t record_number, std::span<const uint8_t> record, std::string* problem) = 0;
  virtual bool Finish(std::string* problem) = 0;
  // Takes out the keys AddRecord put in for a record that is being taken
  // back. An index that can't do that says so, and the record stays.
  virtual bool RemoveRecord(uint32_t record_number, std::span<const uint8_t> record, std::string* problem) {
    (void)record_number;
    (void)record;
    *problem = "this index can't take keys out";
    return false;
  }
};

}  // namespace xbase
