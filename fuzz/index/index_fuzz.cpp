// libFuzzer target over the index file readers and the key expressions
// they carry. The first byte picks what the rest is: 'E' an expression,
// compiled and evaluated on a record; 'M' an .mdx file; anything else a
// .cdx file. Whatever
// a reader accepts must also survive being written out and read again; a
// compound index must come back with the very same keys.
#include "xbase/index/expression.h"
#include "xbase/index/index_image.h"

#include <cstdlib>

using namespace xbase::index;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  if (data[0] == 'E') {
    static const std::vector<FieldInfo> fields = {{"NAME", 'C', 1, 10, 0, false}, {"NUM", 'N', 11, 8, 2, false},
                                                  {"DAY", 'D', 19, 8, 0, false},  {"OK", 'L', 27, 1, 0, false},
                                                  {"CNT", 'I', 28, 4, 0, false}};
    static const std::string record = std::string(" Smith     ") + "  -12.50" + "20240229" + "T" + std::string("\x07\0\0\0", 4);
    std::string problem;
    auto e = Expression::Compile(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), fields, &problem);
    if (e) {
      Value v = e->Evaluate(RawRecord(fields, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(record.data()), record.size()), 3));
      if (v.type != e->type()) std::abort();
    }
    return 0;
  }
  bool mdx = data[0] == 'M';
  std::span<const uint8_t> file(data + 1, size - 1);
  std::string problem;
  if (mdx) {
    auto image = ReadMdx(file, &problem);
    if (!image) return 0;
    auto written = WriteMdx(*image, "FUZZ", {2024, 1, 1});
    auto again = ReadMdx(written, &problem);
    if (!again || again->tags.size() != std::min<size_t>(image->tags.size(), 47)) std::abort();
    return 0;
  }
  // Key types come from the tag's name here, so that every pad-byte rule
  // is reached, the unknown type (0) included.
  auto key_type_of = [](const TagDescription& d) -> char {
    static const char kTypes[] = {'C', 'N', 'D', 0};
    return d.name.empty() ? 0 : kTypes[static_cast<unsigned char>(d.name[0]) % 4];
  };
  auto image = ReadCdx(file, key_type_of, &problem);
  if (!image) return 0;
  auto written = WriteCdx(*image);
  auto again = ReadCdx(written, key_type_of, &problem);
  if (!again || again->tags.size() != image->tags.size()) std::abort();
  for (size_t t = 0; t < image->tags.size(); ++t) {
    const auto& a = image->tags[t].entries;
    const auto& b = again->tags[t].entries;
    if (a.size() != b.size()) std::abort();
    for (size_t i = 0; i < a.size(); ++i)
      if (a[i].key != b[i].key || a[i].record != b[i].record) std::abort();
  }
  return 0;
}
