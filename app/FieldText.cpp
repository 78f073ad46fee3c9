#include "app/FieldText.h"

#include <algorithm>

#include "common/DateTime.h"
#include "common/Text.h"
#include "odbc/Statement.h"
#include "xbase/code_page.h"
#include "xbase/text_cut.h"

namespace tidewell {

bool SystemIsUtf8() {
  static const bool utf8 = xbase::IsUtf8CodeSet(xbase::SystemCodeSet());
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
    default:
      return FirstCharacters(Trim(row.FieldAsString(name)), MaxFieldText);
  }
}

}  // namespace tidewell
