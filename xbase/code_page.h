// Code pages: the table header's code-page mark (byte 29) and conversion of
// texts between the system's code set and the table's.
//
// Texts reach the engine in the system's code set (the locale's, UTF-8 in
// practice). A table whose mark names a code page gets its texts converted
// on the way in; characters that code page lacks become '?'. A table whose
// mark is 0 (or unknown) stores the bytes unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace xbase {

// The Windows/DOS code page number a mark names, or 0 when it names none we know.
int CodePageOfMark(uint8_t mark);

// The system code set: on POSIX the locale's, by its iconv name; a locale
// without one (the "C" locale of a bare service) counts as UTF-8, of which
// ASCII is a subset. On Windows the ANSI code page, as "CP" and its number.
std::string SystemCodeSet();

class TextConverter {
 public:
  // A converter between `system_code_set` and the code page of `mark`; null
  // when no conversion is needed or the system lacks the code page (then
  // *error says so).
  static std::unique_ptr<TextConverter> ForMark(uint8_t mark, const std::string& system_code_set,
                                                std::string* error);
  ~TextConverter();
  TextConverter(const TextConverter&) = delete;
  TextConverter& operator=(const TextConverter&) = delete;

  std::string ToTable(std::string_view text);    // system -> table
  std::string FromTable(std::string_view bytes);  // table -> system

 private:
  TextConverter() = default;
  std::string Convert(void* cd, std::string_view in, bool from_utf8);
  // iconv's two converters on POSIX; on Windows the two code page numbers.
  void* to_table_ = nullptr;
  void* from_table_ = nullptr;
  [[maybe_unused]] unsigned table_page_ = 0;
  [[maybe_unused]] unsigned system_page_ = 0;
  bool system_is_utf8_ = false;
};

}  // namespace xbase
