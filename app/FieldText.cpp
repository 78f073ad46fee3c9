#include "app/FieldText.h"

#include <algorithm>

#include "common/DateTime.h"
#include "common/Text.h"
#include "odbc/Statement.h"
#include "xbase/code_page.h"

namespace tidewell {

bool SystemIsUtf8() {
  static const bool utf8 = [] {
    const std::string set = UpperCase(xbase::SystemCodeSet());
    return set == "UTF-8" || set == "UTF8";
  }();
  return utf8;
}

namespace {

std::string FirstCharacters(std::string text, size_t count) {
  text.resize(SystemIsUtf8() ? Utf8Prefix(text, count, text.size()) : std::min(text.size(), count));
  return text;
}

}  // namespace

std::string FieldText(TODBCStatement& row, const FIELD4INFO& field) {
  const std::string name = field.name;
  switch (field.type) {
    case 'D':
      return FormatDateTime("YYYYMMDD", row.FieldAsDateTime(name));
    case 'L':
      return row.FieldAsBoolean(name) ? "T" : "F";
    case 'C':
      return FirstCharacters(Trim(row.FieldAsString(name)), std::min<size_t>(MaxFieldText, field.len));
    default:
      return FirstCharacters(Trim(row.FieldAsString(name)), MaxFieldText);
  }
}

size_t WholeCharacterBytes(const std::string& text, size_t width) {
  if (text.size() <= width) return text.size();
  return SystemIsUtf8() ? Utf8Prefix(text, text.size(), width) : width;
}

void KeepLastCharacterWhole(DbfHandle file, const std::string& name, const std::string& text, size_t width) {
  if (!SystemIsUtf8() || text.size() <= width) return;
  const size_t whole = WholeCharacterBytes(text, width);
  if (whole == width) return;
  FieldHandle field = d4field(file, name.c_str());
  if (!field || TrimRight(f4str(field)) != TrimRight(std::string_view(text).substr(0, width))) return;
  f4assign(field, text.substr(0, whole).c_str());
}

}  // namespace tidewell
