// Field codec: the stored form of each field type, to and from text.
//
//  type  bytes  stored form                                   blank
//  C     n      text, cut or padded with spaces               spaces
//  N, F  n      number right-justified with the field's       spaces
//               decimals; "*" * n when it does not fit
//  D     8      YYYYMMDD                                      spaces
//  L     1      T or F                                        space
//  M G P W B    memo block number: 10 digits, right-justified spaces
//         10/4  (dBASE, FoxPro 2) or 4-byte little-endian (VFP)   / zeros
//  I     4      signed little-endian integer                  zeros
//  B     8      VFP: little-endian IEEE double                zeros
//  Y     8      VFP: currency, little-endian int64 of 1/10000  zeros
//  T     8      VFP: Julian day number, milliseconds since    zeros
//               midnight, both 4-byte little-endian
//  V, Q  n      VFP: bytes; when shorter than the field the   empty
//               last byte holds the length and the field's
//               varlength bit in _NullFlags is set
//
// Texts handed to the codec are already in the table's code page. Numbers
// arrive as decimal texts ("12.5", "-3", "1.5E3"); rounding is done on the
// decimal digits, half away from zero, so no binary fraction creeps in.
#pragma once

#include "xbase/table_header.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace xbase {

enum class EncodeResult {
  kStored,    // the text's value is in the field
  kOverflow,  // the number does not fit: the field is filled with '*'
  kInvalid,   // not a value of this type: the field is left blank
};

// The blank form of the field, as a freshly appended record holds it.
void BlankField(const FieldDescriptor& field, uint8_t* out);

// Stores `text` in the field's bytes within `record`; V and Q also set the
// varlength bit in `null_flags` (the _NullFlags bytes, or null without them).
EncodeResult EncodeField(const FieldDescriptor& field, std::string_view text, uint8_t* record,
                         uint8_t* null_flags);

// The field's value as text: C/V trailing blanks trimmed, N/F trimmed, D as
// YYYYMMDD or "", L as "T"/"F"/"", I/B/Y as decimal, T as YYYYMMDDhhmmss.
// Memo-like fields give their block number ("" for none).
std::string DecodeField(const FieldDescriptor& field, const uint8_t* record, const uint8_t* null_flags);

// Memo block number stored in a memo-like field, 0 for none (or garbage).
uint32_t MemoBlockOf(const FieldDescriptor& field, const uint8_t* record);
void PutMemoBlock(const FieldDescriptor& field, uint8_t* record, uint32_t block);

// Formats a decimal text for an N/F field of `width` and `decimals`: the
// right-justified digits, or nullopt-like empty string when the text is not
// a number; sets *overflow when it does not fit.
std::string FormatNumber(std::string_view text, int width, int decimals, bool* overflow, bool* invalid);

// Days from the Julian epoch for a Gregorian date, and back.
int64_t JulianDay(int year, int month, int day);
void CivilFromJulianDay(int64_t jdn, int* year, int* month, int* day);

}  // namespace xbase
