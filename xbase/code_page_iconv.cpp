// Text conversion through iconv, the POSIX code-set converter.
#include "xbase/code_page.h"

#include "common/Ascii.h"

#include <cerrno>
#include <cstdint>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

namespace xbase {
namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(static_cast<intptr_t>(-1));

bool IsAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// Length of the UTF-8 sequence that starts with `lead`, 1 for a stray byte.
size_t Utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  return 1;
}

}  // namespace

std::string SystemCodeSet() {
  std::string name = "UTF-8";
  locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (loc) {
    std::string set = nl_langinfo_l(CODESET, loc);
    freelocale(loc);
    if (!set.empty() && set != "ANSI_X3.4-1968" && set != "ASCII") name = set;
  }
  return name;
}

std::unique_ptr<TextConverter> TextConverter::ForMark(uint8_t mark, const std::string& system_code_set,
                                                      std::string* error) {
  int page = CodePageOfMark(mark);
  if (page == 0) return nullptr;
  std::string table_set = page >= 10000 ? "MAC" : "CP" + std::to_string(page);
  if (page == 10007) table_set = "MAC-CYRILLIC";
  if (page == 10029) table_set = "MAC-CENTRALEUROPE";
  if (page == 10006) table_set = "MACGREEK";
  std::unique_ptr<TextConverter> conv(new TextConverter());
  conv->to_table_ = iconv_open(table_set.c_str(), system_code_set.c_str());
  conv->from_table_ = iconv_open(system_code_set.c_str(), table_set.c_str());
  if (conv->to_table_ == kNoConverter || conv->from_table_ == kNoConverter) {
    if (error) *error = "no conversion between " + system_code_set + " and " + table_set;
    return nullptr;
  }
  const std::string upper = tidewell::ascii::Upper(system_code_set);
  conv->system_is_utf8_ = upper == "UTF-8" || upper == "UTF8";
  return conv;
}

TextConverter::~TextConverter() {
  if (to_table_ && to_table_ != kNoConverter) iconv_close(static_cast<iconv_t>(to_table_));
  if (from_table_ && from_table_ != kNoConverter) iconv_close(static_cast<iconv_t>(from_table_));
}

std::string TextConverter::ToTable(std::string_view text) {
  // Every code page we name is a superset of ASCII, and so is UTF-8.
  if (IsAscii(text)) return std::string(text);
  return Convert(to_table_, text, system_is_utf8_);
}

std::string TextConverter::FromTable(std::string_view bytes) {
  if (IsAscii(bytes)) return std::string(bytes);
  return Convert(from_table_, bytes, false);
}

// Converts `in`; a character the target lacks, or an invalid sequence,
// becomes one '?' and conversion goes on after it.
std::string TextConverter::Convert(void* handle, std::string_view in, bool from_utf8) {
  auto cd = static_cast<iconv_t>(handle);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out;
  out.resize(in.size() * 4 + 16);
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  while (src_left > 0) {
    size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      size_t used = static_cast<size_t>(dst - out.data());
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dst_left = out.size() - used;
      continue;
    }
    // EILSEQ or EINVAL: skip one character of the input.
    size_t skip = from_utf8 ? Utf8SequenceLength(static_cast<unsigned char>(*src)) : 1;
    if (skip > src_left) skip = src_left;
    src += skip;
    src_left -= skip;
    if (dst_left == 0) {
      size_t used = static_cast<size_t>(dst - out.data());
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dst_left = out.size() - used;
    }
    *dst++ = '?';
    --dst_left;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(static_cast<size_t>(dst - out.data()));
  return out;
}

}  // namespace xbase
