// Text conversion through the system's code pages: from the source code
// page to UTF-16 and on to the target. A character the target lacks becomes
// '?' rather than a look-alike, and so does an invalid input sequence.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "xbase/code_page.h"

#include "common/Ascii.h"

namespace xbase {
namespace {

constexpr unsigned kUtf8 = CP_UTF8;

bool IsAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// "UTF-8", "CP1252", "1252", "WINDOWS-1252" to a code page number; 0 if none.
unsigned PageOfName(const std::string& name) {
  const std::string upper = tidewell::ascii::Upper(name);
  if (upper == "UTF-8" || upper == "UTF8") return kUtf8;
  std::string digits = upper;
  for (const char* prefix : {"WINDOWS-", "CP", "IBM"}) {
    if (digits.rfind(prefix, 0) == 0) {
      digits = digits.substr(std::string(prefix).size());
      break;
    }
  }
  if (digits.empty() || digits.size() > 5) return 0;
  unsigned page = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    page = page * 10 + static_cast<unsigned>(c - '0');
  }
  return page;
}

std::string Recode(unsigned from, unsigned to, std::string_view in) {
  if (in.empty()) return {};
  const int inLength = static_cast<int>(in.size());
  const int wide = MultiByteToWideChar(from, 0, in.data(), inLength, nullptr, 0);
  if (wide <= 0) return std::string(in.size(), '?');
  std::wstring buffer(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(from, 0, in.data(), inLength, buffer.data(), wide);
  // An invalid sequence decodes to U+FFFD; the target shows it as '?'.
  const bool toUtf8 = to == kUtf8;
  for (auto& c : buffer)
    if (c == 0xFFFD && !toUtf8) c = L'?';
  const DWORD flags = toUtf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* fallback = toUtf8 ? nullptr : "?";
  const int outLength = WideCharToMultiByte(to, flags, buffer.data(), wide, nullptr, 0, fallback, nullptr);
  if (outLength <= 0) return std::string(in.size(), '?');
  std::string out(static_cast<size_t>(outLength), '\0');
  WideCharToMultiByte(to, flags, buffer.data(), wide, out.data(), outLength, fallback, nullptr);
  return out;
}

}  // namespace

std::string SystemCodeSet() {
  const UINT page = GetACP();
  return page == CP_UTF8 ? "UTF-8" : "CP" + std::to_string(page);
}

std::unique_ptr<TextConverter> TextConverter::ForMark(uint8_t mark, const std::string& system_code_set,
                                                      std::string* error) {
  const int page = CodePageOfMark(mark);
  if (page == 0) return nullptr;
  const unsigned system = PageOfName(system_code_set);
  if (system == 0 || !IsValidCodePage(system) || !IsValidCodePage(static_cast<UINT>(page))) {
    if (error) *error = "no conversion between " + system_code_set + " and CP" + std::to_string(page);
    return nullptr;
  }
  std::unique_ptr<TextConverter> conv(new TextConverter());
  conv->table_page_ = static_cast<unsigned>(page);
  conv->system_page_ = system;
  conv->system_is_utf8_ = system == kUtf8;
  return conv;
}

TextConverter::~TextConverter() = default;

std::string TextConverter::ToTable(std::string_view text) {
  // Every code page we name is a superset of ASCII, and so is UTF-8.
  if (IsAscii(text) || table_page_ == system_page_) return std::string(text);
  return Recode(system_page_, table_page_, text);
}

std::string TextConverter::FromTable(std::string_view bytes) {
  if (IsAscii(bytes) || table_page_ == system_page_) return std::string(bytes);
  return Recode(table_page_, system_page_, bytes);
}

}  // namespace xbase
