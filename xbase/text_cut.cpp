#include "xbase/text_cut.h"

#include "common/Ascii.h"
#include "common/Utf8.h"

#include <vector>

namespace xbase {

bool IsUtf8CodeSet(std::string_view code_set) {
  const std::string set = tidewell::ascii::Upper(code_set);
  return set == "UTF-8" || set == "UTF8" || set == "CP65001";
}

namespace {

// Where the characters of `text` end, in the system's code set.
std::vector<size_t> CharacterEnds(std::string_view text, bool utf8) {
  std::vector<size_t> ends;
  for (size_t at = 0; at < text.size();) {
    at += utf8 ? tidewell::utf8::SequenceLength(text.substr(at)) : 1;
    ends.push_back(at);
  }
  return ends;
}

}  // namespace

std::string TextForField(const FieldDescriptor& f, std::string_view text, TextConverter* converter,
                         bool system_utf8) {
  std::string stored = converter ? converter->ToTable(text) : std::string(text);
  const bool cut = (f.type == 'C' || f.type == 'V') && (f.flags & 0x04) == 0;
  const size_t width = f.length;
  if (!cut || stored.size() <= width) return stored;
  if (!converter) {
    stored.resize(system_utf8 ? tidewell::utf8::Prefix(stored, stored.size(), width) : width);
    return stored;
  }
  // Converted, a character may take more than one byte (double-byte code
  // pages): the longest run of whole characters whose converted form fits.
  // The converted length grows with the run, so halving finds it.
  const std::vector<size_t> ends = CharacterEnds(text, system_utf8);
  size_t fits = 0, lo = 0, hi = ends.size();  // ends[lo..hi) not tried yet
  std::string best;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    std::string candidate = converter->ToTable(text.substr(0, ends[mid]));
    if (candidate.size() <= width) {
      fits = mid + 1;
      best = std::move(candidate);
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return fits == 0 ? std::string() : best;
}

}  // namespace xbase
