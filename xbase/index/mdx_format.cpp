// The dBASE IV production index (.mdx): reading it into an IndexImage and
// writing an image back.
//
// The file is cut into 512-byte pages; a block is `pages per block` pages
// (2, so 1024 bytes, as dBASE IV writes by default). Every pointer below is
// a page number: byte offset / 512. Integers are little-endian.
//
//  File header (pages 0-3):
//     0   1  version, 2
//     1   3  date of creation: year - 1900, month, day
//     4  16  table name without extension, NUL padded
//    20   2  pages per block
//    22   2  block size in bytes
//    24   1  production index flag, 1
//    25   1  entries in the tag table, 48
//    26   1  length of one tag table entry, 32
//    27   1  reserved
//    28   2  tags in use
//    30   2  reserved
//    32   4  pages in the file (the next page to allocate)
//    36   4  first free page, 0 for none
//    40   4  blocks available
//    44   3  date of last update
//    47 497  reserved
//   544  32  tag table, one entry per tag (47 fit before page 4):
//               0  4  page of the tag's header
//               4 11  tag name, NUL padded
//              15  1  key format: 10 the key is one field
//              16  1  left, 17 right, 18 parent: the tags as a binary tree
//                     by name, each a tag number from 1, 0 for none
//              19  1  reserved
//              20  1  key type: C, N or D
//              21 11  reserved
//
//  Tag header (one block):
//     0   4  root node's page
//     4   4  pages the tag's nodes occupy
//     8   1  key format: 08 descending, 10 key is one field, 40 unique
//     9   1  key type
//    10   2  reserved
//    12   2  key length (N keys 12, D keys 8)
//    14   2  most keys a node holds
//    16   2  secondary key type, 0
//    18   2  key item length: 4 + key length, rounded up to 4
//    20   3  reserved
//    23   1  unique flag, 40
//    24 220  key expression, NUL terminated
//   244   1  reserved
//   245   1  1 when the tag has a FOR condition
//   246 220  FOR expression, NUL terminated
//
//  Node (one block):
//     0   4  number of keys n
//     4   4  reserved
//     8      n items of `key item length` bytes: a 4-byte pointer, then the
//             key, padded. Then one more 4-byte pointer:
//               leaf: pointers are record numbers; the last one is 0.
//               interior: pointers are child pages and each key is the last
//               key of its child; the last pointer is the rightmost child,
//               which has no key here.
//
// Keys: character keys are the bytes, blank padded; numeric keys 12 bytes
// of packed decimal (key_codec.h); date keys a double holding the Julian
// day number. A descending tag's tree is in descending key order; equal
// keys are in record number order.
#include "xbase/index/byte_io.h"
#include "xbase/index/expression.h"
#include "xbase/index/index_image.h"
#include "xbase/index/key_codec.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <set>

namespace xbase::index {

namespace {

constexpr size_t kPage = 512;
constexpr size_t kTableOffset = 544;
constexpr size_t kEntrySize = 32;
constexpr size_t kMaxTags = 47;
constexpr size_t kFirstTagPage = 4;
constexpr size_t kExprSize = 220;
constexpr int kMaxDepth = 24;
constexpr uint16_t kMaxKeyLength = 100;  // dBASE IV's limit; keeps an item well inside a block

size_t ItemLength(uint16_t key_length) { return (size_t{key_length} + 4 + 3) / 4 * 4; }

// The key as stored in the file, from the engine's sortable form.
std::string DiskKey(const std::string& key, char type, uint16_t key_length) {
  if (type == 'N') {
    auto bcd = EncodeBcd(FromSortableDouble(key));
    return std::string(reinterpret_cast<const char*>(bcd.data()), bcd.size());
  }
  if (type == 'D') {
    double julian = FromSortableDouble(key);
    std::string out(8, '\0');
    std::memcpy(out.data(), &julian, 8);  // little-endian hosts only, as the file
    return out;
  }
  std::string out = key.substr(0, key_length);
  out.resize(key_length, ' ');
  return out;
}

std::optional<std::string> SortableKey(const uint8_t* bytes, char type, uint16_t key_length) {
  if (type == 'N') {
    auto v = DecodeBcd(bytes);
    if (!v) return std::nullopt;
    return SortableDouble(*v);
  }
  if (type == 'D') {
    double julian;
    std::memcpy(&julian, bytes, 8);
    if (!std::isfinite(julian)) return std::nullopt;
    return SortableDouble(julian);
  }
  return std::string(reinterpret_cast<const char*>(bytes), key_length);
}

std::string CText(const uint8_t* p, size_t max) {
  size_t n = 0;
  while (n < max && p[n] != 0) ++n;
  std::string s(reinterpret_cast<const char*>(p), n);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  size_t b = s.find_first_not_of(' ');
  return b == std::string::npos ? std::string() : s.substr(b);
}

class MdxReader {
 public:
  MdxReader(std::span<const uint8_t> file, size_t block, std::string* problem)
      : file_(file), block_(block), problem_(problem) {}

  bool Fail(const std::string& why) {
    if (problem_->empty()) *problem_ = why;
    return false;
  }
  const std::set<uint32_t>& seen() const { return seen_; }

  const uint8_t* Block(uint32_t page, const char* what) {
    if (page < kFirstTagPage || uint64_t{page} * kPage + block_ > file_.size()) {
      Fail(std::string(what) + " page " + std::to_string(page) + " outside the file");
      return nullptr;
    }
    return file_.data() + size_t{page} * kPage;
  }

  bool Walk(uint32_t page, const TagDescription& tag, size_t item, int depth, std::vector<KeyEntry>* out) {
    if (depth > kMaxDepth) return Fail("index tree deeper than " + std::to_string(kMaxDepth));
    if (!seen_.insert(page).second) return Fail("index node " + std::to_string(page) + " reached twice");
    const uint8_t* node = Block(page, "index node");
    if (!node) return false;
    uint32_t count = Le32(node);
    if (8 + size_t{count} * item + 4 > block_)
      return Fail("index node " + std::to_string(page) + " claims " + std::to_string(count) + " keys");
    uint32_t last = Le32(node + 8 + count * item);
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* e = node + 8 + i * item;
      auto key = SortableKey(e + 4, tag.key_type, tag.key_length);
      if (!key) return Fail("index node " + std::to_string(page) + " holds a damaged key");
      if (last == 0) {
        if (Le32(e) == 0) return Fail("index node " + std::to_string(page) + " holds record number 0");
        out->push_back({*key, Le32(e)});
        continue;
      }
      size_t before = out->size();
      if (!Walk(Le32(e), tag, item, depth + 1, out)) return false;
      if (out->size() == before) return Fail("index node " + std::to_string(page) + " points at an empty node");
      if (out->back().key != *key) return Fail("index node " + std::to_string(page) + " disagrees with its child");
    }
    if (last != 0) return Walk(last, tag, item, depth + 1, out);
    return true;
  }

 private:
  std::span<const uint8_t> file_;
  size_t block_;
  std::string* problem_;
  std::set<uint32_t> seen_;
};

}  // namespace

std::optional<IndexImage> ReadMdx(std::span<const uint8_t> file, std::string* problem) {
  std::string local;
  if (!problem) problem = &local;
  problem->clear();
  auto fail = [&](const std::string& why) -> std::optional<IndexImage> {
    if (problem->empty()) *problem = why;
    return std::nullopt;
  };
  if (file.size() < kFirstTagPage * kPage) return fail("index file too short (" + std::to_string(file.size()) + " bytes)");
  if (file.size() > kMaxIndexFileSize) return fail("index file too large");
  const uint8_t* h = file.data();
  size_t pages_per_block = Le16(h + 20);
  size_t block = Le16(h + 22);
  if (pages_per_block < 1 || pages_per_block > 32 || block != pages_per_block * kPage)
    return fail("block size " + std::to_string(block) + " is not a dBASE IV index's");
  uint16_t tags = Le16(h + 28);
  if (tags > kMaxTags) return fail("index claims " + std::to_string(tags) + " tags");
  if (h[26] != 0 && h[26] != kEntrySize) return fail("tag table entries of " + std::to_string(h[26]) + " bytes");

  IndexImage image;
  image.raw_header.assign(h, h + kTableOffset);
  image.used.push_back({0, kFirstTagPage * kPage});
  MdxReader reader(file, block, problem);
  for (size_t t = 0; t < tags; ++t) {
    const uint8_t* entry = h + kTableOffset + t * kEntrySize;
    TagImage tag;
    tag.desc.name = CText(entry + 4, 11);
    const uint8_t* th = reader.Block(Le32(entry), "tag header");
    if (!th) return fail("tag " + tag.desc.name + ": " + *problem);
    // The tag header, then its tag table entry: a file written again or
    // made like this one keeps the bytes of both that we do not compute.
    tag.raw_header.assign(th, th + block);
    tag.raw_header.insert(tag.raw_header.end(), entry, entry + kEntrySize);
    tag.desc.key_type = static_cast<char>(th[9]);
    tag.desc.key_length = Le16(th + 12);
    tag.desc.descending = (th[8] & 0x08) != 0;
    tag.desc.unique = (th[8] & 0x40) != 0 || th[23] == 0x40;
    tag.desc.expression = CText(th + 24, kExprSize);
    if (th[245] != 0) tag.desc.filter = CText(th + 246, kExprSize);
    char type = tag.desc.key_type;
    uint16_t length = tag.desc.key_length;
    if ((type != 'C' && type != 'N' && type != 'D') || (type == 'N' && length != 12) ||
        (type == 'D' && length != 8) || length == 0 || length > kMaxKeyLength)
      return fail("tag " + tag.desc.name + ": key type " + std::string(1, type) + " of length " +
                  std::to_string(length) + " is not a dBASE IV key");
    if (tag.desc.expression.empty()) return fail("tag " + tag.desc.name + " has no key expression");
    if (!reader.Walk(Le32(th), tag.desc, ItemLength(length), 0, &tag.entries))
      return fail("tag " + tag.desc.name + ": " + *problem);
    for (size_t i = 1; i < tag.entries.size(); ++i) {
      if (EntryBefore(tag.entries[i], tag.entries[i - 1], tag.desc.descending) &&
          tag.entries[i].key != tag.entries[i - 1].key)
        return fail("tag " + tag.desc.name + ": keys out of order at key " + std::to_string(i + 1));
    }
    tag.header_offset = uint64_t{Le32(entry)} * kPage;
    image.used.push_back({tag.header_offset, block});
    image.tags.push_back(std::move(tag));
  }
  for (uint32_t page : reader.seen()) image.used.push_back({uint64_t{page} * kPage, block, true});
  return image;
}

// ---------------------------------------------------------------------------
// Writing

namespace {

struct Child {
  std::string disk_key;
  uint32_t page;
};

constexpr size_t kBlock = 1024;
constexpr uint32_t kPagesPerBlock = kBlock / kPage;

// A date as the header stores it.
void PutDate(uint8_t* p, const LocalDate& date) {
  p[0] = static_cast<uint8_t>(date.year - 1900);
  p[1] = static_cast<uint8_t>(date.month);
  p[2] = static_cast<uint8_t>(date.day);
}

class MdxWriter {
 public:
  MdxWriter(std::vector<uint8_t>* out, uint32_t base_page) : out_(out), base_page_(base_page) {}

  uint32_t NextPage() const { return base_page_ + static_cast<uint32_t>(out_->size() / kPage); }
  uint8_t* NewBlock() {
    out_->resize(out_->size() + kBlock, 0);
    return out_->data() + out_->size() - kBlock;
  }

  uint32_t Tree(const TagImage& tag, size_t* max_keys) {
    uint16_t key_length = tag.desc.key_length;
    size_t item = ItemLength(key_length);
    size_t capacity = (kBlock - 12) / item;
    *max_keys = capacity;
    const auto& entries = tag.entries;
    std::vector<Child> level;
    size_t leaves = std::max<size_t>(1, (entries.size() + capacity - 1) / capacity);
    for (size_t n = 0; n < leaves; ++n) {
      size_t begin = n * entries.size() / leaves, end = (n + 1) * entries.size() / leaves;
      uint32_t page = NextPage();
      uint8_t* node = NewBlock();
      PutLe32(node, static_cast<uint32_t>(end - begin));
      std::string disk;
      for (size_t i = begin; i < end; ++i) {
        uint8_t* e = node + 8 + (i - begin) * item;
        PutLe32(e, entries[i].record);
        disk = DiskKey(entries[i].key, tag.desc.key_type, key_length);
        std::copy(disk.begin(), disk.end(), e + 4);
      }
      level.push_back({disk, page});
    }
    while (level.size() > 1) {
      // An interior node holds `capacity` keyed children and one more.
      size_t per_node = capacity + 1;
      size_t nodes = (level.size() + per_node - 1) / per_node;
      std::vector<Child> next;
      for (size_t n = 0; n < nodes; ++n) {
        size_t begin = n * level.size() / nodes, end = (n + 1) * level.size() / nodes;
        uint32_t page = NextPage();
        uint8_t* node = NewBlock();
        PutLe32(node, static_cast<uint32_t>(end - begin - 1));
        for (size_t i = begin; i + 1 < end; ++i) {
          uint8_t* e = node + 8 + (i - begin) * item;
          PutLe32(e, level[i].page);
          std::copy(level[i].disk_key.begin(), level[i].disk_key.end(), e + 4);
        }
        PutLe32(node + 8 + (end - begin - 1) * item, level[end - 1].page);
        next.push_back({level[end - 1].disk_key, page});
      }
      level = std::move(next);
    }
    return level[0].page;
  }

 private:
  std::vector<uint8_t>* out_;
  uint32_t base_page_;
};

bool IsOneField(const std::string& expression) {
  if (expression.empty()) return false;
  for (char c : expression)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  return true;
}

}  // namespace

std::vector<uint8_t> WriteMdx(const IndexImage& image, const std::string& table_name, const LocalDate& today,
                              uint32_t base) {
  std::vector<uint8_t> out(kFirstTagPage * kPage, 0);
  uint8_t* h = out.data();
  if (image.raw_header.size() == kTableOffset) std::copy(image.raw_header.begin(), image.raw_header.end(), h);
  else PutDate(h + 1, today);
  h[0] = 2;
  std::fill(h + 4, h + 20, uint8_t{0});
  std::copy_n(table_name.begin(), std::min<size_t>(table_name.size(), 16), h + 4);
  PutLe16(h + 20, kPagesPerBlock);
  PutLe16(h + 22, kBlock);
  h[24] = 1;
  h[25] = 48;
  h[26] = kEntrySize;
  size_t tags = std::min(image.tags.size(), kMaxTags);
  PutLe16(h + 28, static_cast<uint16_t>(tags));
  PutLe32(h + 36, 0);
  PutLe32(h + 40, 0);
  PutDate(h + 44, today);

  // Tag headers first, one block each, then every tag's nodes.
  MdxWriter writer(&out, base / static_cast<uint32_t>(kPage));
  std::vector<uint32_t> header_pages;
  for (size_t t = 0; t < tags; ++t) {
    header_pages.push_back(writer.NextPage());
    writer.NewBlock();
  }
  // The tag table threads the tags into a binary tree by name.
  std::vector<uint8_t> left(tags, 0), right(tags, 0), parent(tags, 0);
  for (size_t t = 1; t < tags; ++t) {
    size_t at = 0;
    while (true) {
      bool less = image.tags[t].desc.name < image.tags[at].desc.name;
      auto& link = less ? left[at] : right[at];
      if (link == 0) {
        link = static_cast<uint8_t>(t + 1);
        parent[t] = static_cast<uint8_t>(at + 1);
        break;
      }
      at = link - 1u;
    }
  }
  for (size_t t = 0; t < tags; ++t) {
    const TagImage& tag = image.tags[t];
    uint32_t first_page = writer.NextPage();
    size_t max_keys = 0;
    uint32_t root = writer.Tree(tag, &max_keys);
    uint32_t used_pages = writer.NextPage() - first_page;

    uint8_t* th = out.data() + (size_t{header_pages[t]} * kPage - base);
    if (tag.raw_header.size() >= kBlock) std::copy_n(tag.raw_header.begin(), kBlock, th);
    bool one_field = IsOneField(tag.desc.expression);
    PutLe32(th, root);
    PutLe32(th + 4, used_pages);
    th[8] = static_cast<uint8_t>((tag.desc.descending ? 0x08 : 0) | (one_field ? 0x10 : 0) | (tag.desc.unique ? 0x40 : 0));
    th[9] = static_cast<uint8_t>(tag.desc.key_type);
    PutLe16(th + 12, tag.desc.key_length);
    PutLe16(th + 14, static_cast<uint16_t>(max_keys));
    PutLe16(th + 16, 0);
    PutLe16(th + 18, static_cast<uint16_t>(ItemLength(tag.desc.key_length)));
    th[23] = tag.desc.unique ? 0x40 : 0;
    std::fill(th + 24, th + 24 + kExprSize, uint8_t{0});
    std::copy_n(tag.desc.expression.begin(), std::min(tag.desc.expression.size(), kExprSize - 1), th + 24);
    th[245] = tag.desc.filter.empty() ? 0 : 1;
    std::fill(th + 246, th + 246 + kExprSize, uint8_t{0});
    std::copy_n(tag.desc.filter.begin(), std::min(tag.desc.filter.size(), kExprSize - 1), th + 246);

    uint8_t* entry = out.data() + kTableOffset + t * kEntrySize;
    std::fill(entry, entry + kEntrySize, uint8_t{0});
    if (tag.raw_header.size() == kBlock + kEntrySize) std::copy_n(tag.raw_header.begin() + kBlock, kEntrySize, entry);
    std::fill(entry + 4, entry + 15, uint8_t{0});
    PutLe32(entry, header_pages[t]);
    std::copy_n(tag.desc.name.begin(), std::min<size_t>(tag.desc.name.size(), 10), entry + 4);
    entry[15] = one_field ? 0x10 : 0;
    entry[16] = left[t];
    entry[17] = right[t];
    entry[18] = parent[t];
    entry[20] = static_cast<uint8_t>(tag.desc.key_type);
  }
  PutLe32(out.data() + 32, writer.NextPage());
  return out;
}

Trees WriteMdxTrees(const IndexImage& image, uint32_t base) {
  Trees trees;
  MdxWriter writer(&trees.bytes, base / static_cast<uint32_t>(kPage));
  for (const TagImage& tag : image.tags) {
    const uint32_t first_page = writer.NextPage();
    size_t max_keys = 0;
    trees.roots.push_back(writer.Tree(tag, &max_keys));
    trees.pages.push_back(writer.NextPage() - first_page);
  }
  return trees;
}

}  // namespace xbase::index
