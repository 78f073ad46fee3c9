// libFuzzer target over the index file readers. The first byte picks the
// format ('M' for .mdx, anything else .cdx), the rest is the file. Whatever
// a reader accepts must also survive being written out and read again; a
// compound index must come back with the very same keys.
#include "xbase/index/index_image.h"

#include <cstdlib>

using namespace xbase::index;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  bool mdx = data[0] == 'M';
  std::span<const uint8_t> file(data + 1, size - 1);
  std::string problem;
  if (mdx) {
    auto image = ReadMdx(file, &problem);
    if (!image) return 0;
    auto written = WriteMdx(*image, "FUZZ");
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
