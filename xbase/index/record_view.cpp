#include "xbase/index/record_view.h"

#include "common/Ascii.h"

namespace xbase::index {

bool SameName(std::string_view a, std::string_view b) { return tidewell::ascii::EqualIgnoringCase(a, b); }

int FindFieldIn(const std::vector<FieldInfo>& fields, std::string_view name) {
  for (size_t i = 0; i < fields.size(); ++i)
    if (SameName(fields[i].name, name)) return static_cast<int>(i);
  return -1;
}

std::span<const uint8_t> RawRecord::FieldBytes(int field) const {
  if (field < 0 || static_cast<size_t>(field) >= fields_.size()) return {};
  const FieldInfo& f = fields_[static_cast<size_t>(field)];
  if (size_t{f.offset} + f.length > record_.size()) return {};
  return record_.subspan(f.offset, f.length);
}

std::vector<uint8_t> BlankRecord(const std::vector<FieldInfo>& fields) {
  size_t size = 1;
  for (const auto& f : fields) size = std::max<size_t>(size, size_t{f.offset} + f.length);
  std::vector<uint8_t> record(size, ' ');
  // Binary fields are blank when zero, not when filled with spaces.
  for (const auto& f : fields)
    if (f.type == 'I' || f.type == 'B' || f.type == 'Y' || f.type == 'T')
      std::fill_n(record.begin() + f.offset, f.length, uint8_t{0});
  return record;
}

}  // namespace xbase::index
