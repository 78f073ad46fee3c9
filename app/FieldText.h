// The texts the conversion stores in a record's fields, from the current
// row of its select: one place, so that what checks the files afterwards
// builds the same texts the conversion wrote.
#pragma once

#include <cstddef>
#include <string>

#include "dbf/CodeBase.h"

namespace tidewell {

class TODBCStatement;

// Longest text a field receives, memo fields included, in characters.
inline constexpr size_t MaxFieldText = 254;

// True when the system's code set is UTF-8: a character may then take up
// to four bytes, and a cut counts characters.
bool SystemIsUtf8();

// The text a field receives from the current row: dates as YYYYMMDD,
// logicals as T or F, everything else trimmed; at most 254 characters, and a
// character field's text at most as many characters as the field is wide.
std::string FieldText(TODBCStatement& row, const FIELD4INFO& field);

// Bytes of `text` a character field `width` bytes wide keeps whole when it
// stores texts unconverted: up to the last whole UTF-8 character within the
// width on a UTF-8 system, else the width. `text.size()` when it fits.
size_t WholeCharacterBytes(const std::string& text, size_t width);

// A table that stores texts unconverted keeps a character field's first
// bytes, as many as the field is wide, which may end inside a character of
// a UTF-8 text: then the field gets the text up to the last whole character.
// (A table with a code page stores one byte per character and needs none.)
void KeepLastCharacterWhole(DbfHandle file, const std::string& name, const std::string& text, size_t width);

}  // namespace tidewell
