// The .dbf table header: what it holds and how it is read and written.
//
//  offset size  table header (little-endian integers)
//  ------ ----  -----------------------------------------------------------
//     0    1    version byte: 03 dBASE III, 83 dBASE III + .dbt,
//               8B/CB dBASE IV + .dbt (43/63 without), F5 FoxPro 2 + .fpt,
//               30/31/32 Visual FoxPro (memo, if any, in .fpt)
//     1    3    date of last update: year - 1900, month, day
//     4    4    number of records
//     8    2    header length = offset of the first record
//    10    2    record length, deletion flag included
//    12   16    reserved (dBASE IV: 14 incomplete transaction, 15 encrypted)
//    28    1    table flags: dBASE IV 01 = production .mdx;
//               FoxPro 01 = structural .cdx, 02 = memo, 04 = database (.dbc)
//    29    1    code-page mark (see code_page.h)
//    30    2    reserved
//    32 32*n    field descriptors, one per field:
//                   0  11  name, upper case, NUL padded
//                  11   1  type letter
//                  12   4  VFP: offset of the field in the record
//                  16   1  length
//                  17   1  decimals
//                  18   1  VFP flags: 01 system (hidden), 02 nullable,
//                          04 binary, 0C autoincrement
//                  19   4  VFP: next autoincrement value
//                  23   1  VFP: autoincrement step
//                  24   8  reserved (dBASE IV: byte 31 = field has an .mdx tag)
//  32+32n  1    0D terminator
//              VFP: 263 bytes backlink to the owning database (.dbc),
//              all zero in a free table; other writers may pad the header
//              too. The header length, not the terminator, says where
//              records start.
//
//  Records follow at the header length, each one deletion flag (' ' or '*')
//  and the fields in descriptor order, then one 1A byte ends the file.
//
//  VFP tables with nullable, Varchar or Varbinary fields carry a hidden last
//  field "_NullFlags" (type '0'): a bit string, least significant bit first,
//  that gives each V/Q field a "shorter than the field" bit (the length is
//  then in the field's last byte) and each nullable field a null bit after it.
//
// Nothing read from a file is trusted: the parser checks every length and
// offset against the bytes it was given and refuses what does not add up.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace xbase {

enum class Flavor { kDbase3, kDbase4, kFoxPro2, kVisualFoxPro };
enum class MemoKind { kNone, kDbt3, kDbt4, kFpt };

constexpr size_t kTableHeaderSize = 32;
constexpr size_t kFieldDescriptorSize = 32;
constexpr size_t kBacklinkSize = 263;
constexpr uint8_t kHeaderTerminator = 0x0D;
constexpr uint8_t kEndOfFile = 0x1A;

struct FieldDescriptor {
  std::string name;
  char type = 'C';
  uint32_t offset = 0;  // from the start of the record (the deletion flag is byte 0)
  uint8_t length = 0;
  uint8_t decimals = 0;
  uint8_t flags = 0;
  uint32_t autoinc_next = 0;
  uint8_t autoinc_step = 0;
  int varlength_bit = -1;  // position in _NullFlags, -1 for none
  // The descriptor as read, so that a table created like this one repeats
  // the bytes we do not interpret; empty for a field described from scratch.
  std::vector<uint8_t> raw;
  int null_bit = -1;

  bool IsSystem() const { return (flags & 0x01) != 0; }
  bool IsAutoIncrement() const { return (flags & 0x0C) == 0x0C; }
  // Memo-like fields hold a block number of the memo file.
  bool IsMemo() const;
};

struct TableHeader {
  uint8_t version = 0x03;
  uint8_t update_year = 0;  // years since 1900
  uint8_t update_month = 1;
  uint8_t update_day = 1;
  uint32_t record_count = 0;
  uint16_t header_length = 0;
  uint16_t record_length = 0;
  uint8_t table_flags = 0;
  uint8_t code_page_mark = 0;
  std::vector<FieldDescriptor> fields;  // every descriptor, _NullFlags included
  // Bytes between the terminator and the first record: the VFP backlink,
  // or padding some writers leave.
  std::vector<uint8_t> tail;
  // The fixed 32 bytes as read, so that a table created like this one
  // repeats the reserved bytes; empty for a header described from scratch.
  std::vector<uint8_t> raw_fixed;

  Flavor FlavorOfVersion() const;
  // The memo kind the version byte asks for; for a table with memo fields
  // whose version byte names none, kFpt or kDbt3 by the companion found.
  MemoKind MemoKindForFields() const;
  bool HasMemoFields() const;
  // The memo kind the version byte (or VFP's memo flag) names, fields aside.
  MemoKind MemoKindOfVersion() const;
  int NullFlagsField() const;  // index of _NullFlags, -1 when absent
};

// Reads the fixed 32-byte part; the field descriptors need the rest.
// Returns the header length the file claims, or nullopt with *problem set.
std::optional<uint16_t> PeekHeaderLength(std::span<const uint8_t> first32, std::string* problem);

// Parses a whole header (header_length bytes) of a file of `file_size` bytes.
std::optional<TableHeader> ParseTableHeader(std::span<const uint8_t> bytes, uint64_t file_size,
                                            std::string* problem);

// Fills in offsets, record length, header length and _NullFlags bit positions
// from the fields; returns false with *problem when the structure can't be stored.
bool LayOutFields(TableHeader& header, std::string* problem);

std::vector<uint8_t> SerializeTableHeader(const TableHeader& header);

// Bytes 1 to 7 of the header, the part that changes as records are
// appended: date of last update and record count.
constexpr size_t kCountAreaOffset = 1;
constexpr size_t kCountAreaSize = 7;
void PutDateAndCount(uint8_t* bytes_1_to_7, const TableHeader& header);

}  // namespace xbase
