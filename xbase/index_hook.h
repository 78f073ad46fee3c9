// IndexMaintainer: how a table keeps its production index in step.
//
// A table calls AddRecord once for every record it appended, when that
// record's values are final: when the next record is appended or the table
// is closed. Close calls Finish once after the last AddRecord. A false
// result is reported by the table and ends nothing: the record stays in
// the table. Implementations (compound .cdx, dBASE IV .mdx) read the
// fields they need from the record bytes through the table's header.
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
};

}  // namespace xbase
