// RecordView: what a key expression may ask of one table record.
//
// The index code never sees the table engine's classes. A record is a set of
// fields found by name (ASCII, without regard to case), each giving its type
// letter, length, decimals and the bytes stored for it, plus the record's
// deletion flag and number. RawRecord implements it over the record bytes of
// a .dbf file and the field layout of its header, which is all a table needs
// to hand over.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace xbase::index {

// One field as the table header describes it. `offset` counts from the start
// of the record, so the deletion flag is byte 0 and the first field starts at 1.
struct FieldInfo {
  std::string name;
  char type = 'C';
  uint32_t offset = 0;
  uint8_t length = 0;
  uint8_t decimals = 0;
  // Visual FoxPro nullable field: its keys carry a null marker we don't
  // write, so a tag on it is refused.
  bool nullable = false;
};

// A field's bytes within one record; empty `bytes` means "no such field".
struct FieldValue {
  const FieldInfo* info = nullptr;
  std::span<const uint8_t> bytes;
};

class RecordView {
 public:
  virtual ~RecordView() = default;
  // The index of the named field in fields(), -1 when the table has none.
  virtual int FindField(std::string_view name) const = 0;
  virtual const std::vector<FieldInfo>& fields() const = 0;
  virtual std::span<const uint8_t> FieldBytes(int field) const = 0;
  virtual bool Deleted() const = 0;
  virtual uint32_t RecordNumber() const = 0;
};

// Case-insensitive ASCII comparison, as xBase compares names.
bool SameName(std::string_view a, std::string_view b);
int FindFieldIn(const std::vector<FieldInfo>& fields, std::string_view name);

// A record as stored in a .dbf file: deletion flag, then the fields at their
// offsets. The field layout must outlive the view; a field reaching past the
// record's end reads as blank.
class RawRecord final : public RecordView {
 public:
  RawRecord(const std::vector<FieldInfo>& fields, std::span<const uint8_t> record, uint32_t number)
      : fields_(fields), record_(record), number_(number) {}
  int FindField(std::string_view name) const override { return FindFieldIn(fields_, name); }
  const std::vector<FieldInfo>& fields() const override { return fields_; }
  std::span<const uint8_t> FieldBytes(int field) const override;
  bool Deleted() const override { return !record_.empty() && record_[0] == '*'; }
  uint32_t RecordNumber() const override { return number_; }

 private:
  const std::vector<FieldInfo>& fields_;
  std::span<const uint8_t> record_;
  uint32_t number_;
};

// A record of blanks: what a key expression yields on it gives the key's
// length when a tag is created without one.
std::vector<uint8_t> BlankRecord(const std::vector<FieldInfo>& fields);

}  // namespace xbase::index
