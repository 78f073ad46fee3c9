#include "xbase/table_header.h"

#include "xbase/byte_order.h"

#include <cstring>

namespace xbase {
namespace {

bool IsVfpVersion(uint8_t v) { return v == 0x30 || v == 0x31 || v == 0x32; }

bool KnownVersion(uint8_t v) {
  switch (v) {
    case 0x03: case 0x83:                         // dBASE III
    case 0x8B: case 0xCB: case 0x43: case 0x63:   // dBASE IV
    case 0xF5: case 0xFB:                         // FoxPro 2 / FoxBASE
    case 0x30: case 0x31: case 0x32:              // Visual FoxPro
      return true;
    default:
      return false;
  }
}

std::string Hex(unsigned v) {
  static const char* digits = "0123456789ABCDEF";
  return std::string("0x") + digits[(v >> 4) & 15] + digits[v & 15];
}

// Checks a field's type and length; the lengths are those the formats allow.
bool ValidField(const FieldDescriptor& f, bool vfp, std::string* problem) {
  auto bad = [&](const char* why) {
    *problem = "field " + f.name + " (" + std::string(1, f.type) + "," + std::to_string(f.length) + "): " + why;
    return false;
  };
  if (f.length == 0) return bad("zero length");
  switch (f.type) {
    case 'C': case 'V': case 'Q': case '0':
      return true;
    case 'N': case 'F':
      if (f.length > 32) return bad("numeric field too wide");
      if (f.decimals >= f.length && f.decimals != 0) return bad("decimals do not fit the width");
      return true;
    case 'D':
      return f.length == 8 ? true : bad("date field is not 8 bytes");
    case 'L':
      return f.length == 1 ? true : bad("logical field is not 1 byte");
    case 'M': case 'G': case 'P': case 'W':
      return (f.length == 10 || f.length == 4) ? true : bad("memo field is neither 10 nor 4 bytes");
    case 'B':
      if (vfp) return f.length == 8 ? true : bad("double field is not 8 bytes");
      return f.length == 10 ? true : bad("binary memo field is not 10 bytes");
    case 'I':
      return f.length == 4 ? true : bad("integer field is not 4 bytes");
    case 'Y': case 'T':
      return f.length == 8 ? true : bad("field is not 8 bytes");
    default:
      return bad("unsupported field type");
  }
}

}  // namespace

bool FieldDescriptor::IsMemo() const {
  switch (type) {
    case 'M': case 'G': case 'P': case 'W':
      return true;
    case 'B':
      return length == 10;
    default:
      return false;
  }
}

Flavor TableHeader::FlavorOfVersion() const {
  if (IsVfpVersion(version)) return Flavor::kVisualFoxPro;
  if (version == 0xF5 || version == 0xFB) return Flavor::kFoxPro2;
  if (version == 0x8B || version == 0xCB || version == 0x43 || version == 0x63) return Flavor::kDbase4;
  return Flavor::kDbase3;
}

bool TableHeader::HasMemoFields() const {
  for (const auto& f : fields)
    if (f.IsMemo()) return true;
  return false;
}

MemoKind TableHeader::MemoKindForFields() const {
  if (!HasMemoFields()) return MemoKind::kNone;
  switch (FlavorOfVersion()) {
    case Flavor::kVisualFoxPro:
    case Flavor::kFoxPro2:
      return MemoKind::kFpt;
    case Flavor::kDbase4:
      return MemoKind::kDbt4;
    case Flavor::kDbase3:
      return version == 0x83 ? MemoKind::kDbt3 : MemoKind::kNone;
  }
  return MemoKind::kNone;
}

MemoKind TableHeader::MemoKindOfVersion() const {
  switch (version) {
    case 0x83: return MemoKind::kDbt3;
    case 0x8B: case 0xCB: return MemoKind::kDbt4;
    case 0xF5: return MemoKind::kFpt;
    case 0x30: case 0x31: case 0x32: return (table_flags & 0x02) ? MemoKind::kFpt : MemoKind::kNone;
    default: return MemoKind::kNone;
  }
}

int TableHeader::NullFlagsField() const {
  for (size_t i = 0; i < fields.size(); ++i)
    if (fields[i].type == '0') return static_cast<int>(i);
  return -1;
}

std::optional<uint16_t> PeekHeaderLength(std::span<const uint8_t> first32, std::string* problem) {
  if (first32.size() < kTableHeaderSize) {
    *problem = "file shorter than a table header";
    return std::nullopt;
  }
  if (!KnownVersion(first32[0])) {
    *problem = "unsupported version byte " + Hex(first32[0]);
    return std::nullopt;
  }
  uint16_t length = GetLe16(&first32[8]);
  if (length < kTableHeaderSize + kFieldDescriptorSize + 1) {
    *problem = "header length " + std::to_string(length) + " too small";
    return std::nullopt;
  }
  return length;
}

std::optional<TableHeader> ParseTableHeader(std::span<const uint8_t> bytes, uint64_t file_size,
                                            std::string* problem) {
  auto length = PeekHeaderLength(bytes, problem);
  if (!length) return std::nullopt;
  if (*length > bytes.size() || *length > file_size) {
    *problem = "header length " + std::to_string(*length) + " beyond the end of the file";
    return std::nullopt;
  }
  TableHeader h;
  const uint8_t* p = bytes.data();
  h.version = p[0];
  h.update_year = p[1];
  h.update_month = p[2];
  h.update_day = p[3];
  h.record_count = GetLe32(p + 4);
  h.header_length = *length;
  h.record_length = GetLe16(p + 10);
  h.table_flags = p[28];
  h.code_page_mark = p[29];
  h.raw_fixed.assign(p, p + kTableHeaderSize);
  bool vfp = IsVfpVersion(h.version);

  // Descriptors run until the terminator, but never past the header length:
  // the length decides where records start, whatever the terminator says.
  size_t pos = kTableHeaderSize;
  uint32_t offset = 1;
  while (pos + kFieldDescriptorSize <= h.header_length && p[pos] != kHeaderTerminator && p[pos] != 0) {
    const uint8_t* d = p + pos;
    FieldDescriptor f;
    size_t name_len = 0;
    while (name_len < 11 && d[name_len] != 0) ++name_len;
    f.name.assign(reinterpret_cast<const char*>(d), name_len);
    f.type = static_cast<char>(d[11]);
    f.raw.assign(d, d + kFieldDescriptorSize);
    f.length = d[16];
    f.decimals = d[17];
    if (vfp) {
      f.flags = d[18];
      f.autoinc_next = GetLe32(d + 19);
      f.autoinc_step = d[23];
    }
    if (!ValidField(f, vfp, problem)) return std::nullopt;
    f.offset = offset;
    offset += f.length;
    h.fields.push_back(std::move(f));
    pos += kFieldDescriptorSize;
  }
  if (h.fields.empty()) {
    *problem = "no field descriptors";
    return std::nullopt;
  }
  if (offset != h.record_length) {
    *problem = "record length " + std::to_string(h.record_length) + " disagrees with the fields (" +
               std::to_string(offset) + ")";
    return std::nullopt;
  }
  size_t tail = pos + 1;  // after the terminator
  if (tail < h.header_length) h.tail.assign(p + tail, p + h.header_length);
  // _NullFlags must be wide enough for the bits the fields ask for.
  int bits = 0;
  for (const auto& f : h.fields) {
    if (f.type == '0') continue;
    if (f.type == 'V' || f.type == 'Q') ++bits;
    if (f.flags & 0x02) ++bits;
  }
  int nf = h.NullFlagsField();
  if (bits > 0 && (nf < 0 || h.fields[static_cast<size_t>(nf)].length * 8 < bits)) {
    *problem = "_NullFlags missing or too short for the nullable and variable-length fields";
    return std::nullopt;
  }
  int bit = 0;
  for (auto& f : h.fields) {
    if (f.type == '0') continue;
    if (f.type == 'V' || f.type == 'Q') f.varlength_bit = bit++;
    if (f.flags & 0x02) f.null_bit = bit++;
  }
  return h;
}

bool LayOutFields(TableHeader& h, std::string* problem) {
  bool vfp = IsVfpVersion(h.version);
  uint32_t offset = 1;
  int bit = 0;
  for (auto& f : h.fields) {
    if (f.name.empty() || f.name.size() > 10) {
      *problem = "bad field name '" + f.name + "'";
      return false;
    }
    if (!ValidField(f, vfp, problem)) return false;
    f.offset = offset;
    offset += f.length;
    f.varlength_bit = f.null_bit = -1;
    if (f.type == '0') continue;
    if (f.type == 'V' || f.type == 'Q') f.varlength_bit = bit++;
    if (f.flags & 0x02) f.null_bit = bit++;
  }
  int nf = h.NullFlagsField();
  if (bit > 0 && (nf < 0 || h.fields[static_cast<size_t>(nf)].length * 8 < bit)) {
    *problem = "_NullFlags missing or too short";
    return false;
  }
  if (offset > 0xFFFF) {
    *problem = "record longer than 65535 bytes";
    return false;
  }
  if (vfp && h.tail.size() < kBacklinkSize) h.tail.resize(kBacklinkSize, 0);
  size_t header_length = kTableHeaderSize + kFieldDescriptorSize * h.fields.size() + 1 + h.tail.size();
  if (header_length > 0xFFFF) {
    *problem = "too many fields";
    return false;
  }
  h.record_length = static_cast<uint16_t>(offset);
  h.header_length = static_cast<uint16_t>(header_length);
  return true;
}

void PutDateAndCount(uint8_t* p, const TableHeader& h) {
  p[0] = h.update_year;
  p[1] = h.update_month;
  p[2] = h.update_day;
  PutLe32(p + 3, h.record_count);
}

std::vector<uint8_t> SerializeTableHeader(const TableHeader& h) {
  std::vector<uint8_t> out(h.header_length, 0);
  uint8_t* p = out.data();
  if (h.raw_fixed.size() == kTableHeaderSize) {
    // Reserved bytes as the model had them; dBASE IV's "incomplete
    // transaction" and "encrypted" flags describe the model's contents.
    std::memcpy(p + 12, h.raw_fixed.data() + 12, 16);
    std::memcpy(p + 30, h.raw_fixed.data() + 30, 2);
    if (h.FlavorOfVersion() == Flavor::kDbase4) p[14] = p[15] = 0;
  }
  p[0] = h.version;
  PutDateAndCount(p + kCountAreaOffset, h);
  PutLe16(p + 8, h.header_length);
  PutLe16(p + 10, h.record_length);
  p[28] = h.table_flags;
  p[29] = h.code_page_mark;
  bool vfp = IsVfpVersion(h.version);
  size_t pos = kTableHeaderSize;
  for (const auto& f : h.fields) {
    uint8_t* d = p + pos;
    if (f.raw.size() == kFieldDescriptorSize) std::memcpy(d, f.raw.data(), kFieldDescriptorSize);
    std::memset(d, 0, 11);
    std::memcpy(d, f.name.data(), std::min<size_t>(f.name.size(), 10));
    d[11] = static_cast<uint8_t>(f.type);
    if (vfp || h.FlavorOfVersion() == Flavor::kFoxPro2) PutLe32(d + 12, f.offset);
    d[16] = f.length;
    d[17] = f.decimals;
    if (vfp) {
      d[18] = f.flags;
      PutLe32(d + 19, f.autoinc_next);
      d[23] = f.autoinc_step;
    }
    pos += kFieldDescriptorSize;
  }
  p[pos++] = kHeaderTerminator;
  if (!h.tail.empty()) std::memcpy(p + pos, h.tail.data(), std::min(h.tail.size(), out.size() - pos));
  return out;
}

}  // namespace xbase
