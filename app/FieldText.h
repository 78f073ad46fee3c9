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
// logicals as T or F, everything else trimmed; at most 254 characters. A
// character field keeps of it what fits its width, cut by the library at
// a whole character in the table's code page (xbase/text_cut.h).
std::string FieldText(TODBCStatement& row, const FIELD4INFO& field);

}  // namespace tidewell
