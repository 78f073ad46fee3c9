// The FoxPro compound index (.cdx): reading it into an IndexImage and
// writing an image back.
//
// A .cdx file is a set of compact indexes in one file. The first one, at
// offset 0, is the tag directory: its keys are the tag names and the
// "record number" of each is the file offset of that tag's header. Every
// tag is then a compact index of its own: a 1024-byte header and a B+ tree
// of 512-byte nodes. File offsets count bytes from the start of the file.
//
//  Header (1024 bytes; the directory's and every tag's), little-endian:
//     0   4  offset of the root node
//     4   4  offset of the first free node, -1 for none
//     8   4  version: changed on every write, readers use it to see change
//    12   2  key length (directory: 10)
//    14   1  options: 01 unique, 08 has a FOR condition, 20 compact,
//             40 compound (80 is also set in the directory's header)
//    15   1  signature
//    16 486  reserved; Visual FoxPro keeps the collating sequence's name
//             here (we only look for it)
//   502   2  0 ascending, 1 descending
//   504   2  where the FOR expression starts in the pool: the key
//             expression's length, its NUL included (other programs read
//             a filtered tag by it)
//   506   2  length of the FOR expression, its NUL included
//   508   2  reserved
//   510   2  length of the key expression, its NUL included
//   512 512  expression pool: key expression NUL, then FOR expression NUL
//
//  Interior node (512 bytes):
//     0   2  attributes: 0 interior, 1 root (2 leaf, 3 root leaf: below)
//     2   2  number of entries n
//     4   4  offset of the left sibling, -1 for none
//     8   4  offset of the right sibling, -1 for none
//    12 500  n entries of key_length + 8 bytes:
//               key (full length, padded), record number (4, BIG-endian),
//               child node offset (4, BIG-endian)
//             The key is the last key of the child's subtree.
//
//  Leaf ("exterior") node (512 bytes):
//     0   2  attributes: 2 leaf, 3 root leaf
//     2   2  number of entries n
//     4   4  left sibling, -1 for none
//     8   4  right sibling, -1 for none
//    12   2  free bytes in the 488-byte area below
//    14   4  record number mask
//    18   1  duplicate count mask
//    19   1  trailing count mask
//    20   1  bits of the record number
//    21   1  bits of the duplicate count
//    22   1  bits of the trailing count
//    23   1  bytes per entry, b
//    24 488  n entries of b bytes from the front, each a little-endian
//             number holding, from the lowest bit up: record number,
//             duplicate count, trailing count. Key bytes fill the area from
//             its END backwards: each key stores only the bytes that are not
//             shared with the previous key of the node (duplicate count) and
//             not trailing pad (trailing count: blanks in character keys,
//             zero bytes in numeric and date keys).
//
// Keys sort by plain byte comparison ("machine" collation); equal keys by
// record number. Every tag is stored ascending; a descending tag is read
// backwards by its users.
#include "xbase/index/byte_io.h"
#include "xbase/index/index_image.h"

#include <algorithm>
#include <map>
#include <set>

namespace xbase::index {

namespace {

constexpr size_t kHeaderSize = 1024;
constexpr size_t kNodeSize = 512;
constexpr size_t kLeafArea = 488;
constexpr size_t kInteriorArea = 500;
constexpr uint16_t kMaxKeyLength = 240;
constexpr int kMaxDepth = 24;
constexpr uint32_t kNone = 0xFFFFFFFF;

uint8_t TrailByte(char key_type) { return (key_type == 'N' || key_type == 'D') ? 0x00 : 0x20; }

class CdxReader {
 public:
  CdxReader(std::span<const uint8_t> file, std::string* problem) : file_(file), problem_(problem) {}

  bool Fail(const std::string& why) {
    if (problem_ && problem_->empty()) *problem_ = why;
    return false;
  }

  const std::set<uint32_t>& seen() const { return seen_; }
  void set_seen(std::set<uint32_t> seen) { seen_ = std::move(seen); }

  bool Header(uint32_t offset, std::span<const uint8_t>* out) {
    if (offset % kNodeSize != 0 || uint64_t{offset} + kHeaderSize > file_.size())
      return Fail("index header offset " + std::to_string(offset) + " outside the file");
    *out = file_.subspan(offset, kHeaderSize);
    return true;
  }

  // Appends the keys of the subtree at `offset` in order.
  bool Walk(uint32_t offset, uint16_t key_length, uint8_t trail, int depth, std::vector<KeyEntry>* out,
            bool* leaf_seen_depth_set, int* leaf_depth) {
    if (depth > kMaxDepth) return Fail("index tree deeper than " + std::to_string(kMaxDepth));
    if (offset % kNodeSize != 0 || offset < kNodeSize || uint64_t{offset} + kNodeSize > file_.size())
      return Fail("index node offset " + std::to_string(offset) + " outside the file");
    if (!seen_.insert(offset).second) return Fail("index node " + std::to_string(offset) + " reached twice");
    const uint8_t* node = file_.data() + offset;
    uint16_t attributes = Le16(node);
    uint16_t count = Le16(node + 2);
    if (attributes > 3) return Fail("index node " + std::to_string(offset) + " has unknown attributes");
    if (attributes & 2) {
      if (*leaf_seen_depth_set && *leaf_depth != depth) return Fail("index leaves at different depths");
      *leaf_seen_depth_set = true;
      *leaf_depth = depth;
      return Leaf(node, offset, count, key_length, trail, out);
    }
    size_t entry = size_t{key_length} + 8;
    if (count == 0 || count * entry > kInteriorArea)
      return Fail("interior node " + std::to_string(offset) + " claims " + std::to_string(count) + " entries");
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* e = node + 12 + i * entry;
      std::string key(reinterpret_cast<const char*>(e), key_length);
      uint32_t child = Be32(e + key_length + 4);
      size_t before = out->size();
      if (!Walk(child, key_length, trail, depth + 1, out, leaf_seen_depth_set, leaf_depth)) return false;
      if (out->size() == before) return Fail("interior node " + std::to_string(offset) + " points at an empty node");
      if (out->back().key > key)
        return Fail("interior node " + std::to_string(offset) + " has a key below its child's keys");
    }
    return true;
  }

 private:
  bool Leaf(const uint8_t* node, uint32_t offset, uint16_t count, uint16_t key_length, uint8_t trail,
            std::vector<KeyEntry>* out) {
    uint32_t record_mask = Le32(node + 14);
    uint8_t dup_mask = node[18], trail_mask = node[19];
    unsigned record_bits = node[20], dup_bits = node[21], trail_bits = node[22], bytes = node[23];
    std::string where = "leaf node " + std::to_string(offset);
    if (count == 0) return true;
    if (bytes < 1 || bytes > 8 || record_bits + dup_bits + trail_bits > bytes * 8 || record_bits > 32 ||
        dup_bits > 8 || trail_bits > 8)
      return Fail(where + " has an impossible entry layout");
    if (size_t{count} * bytes > kLeafArea) return Fail(where + " claims " + std::to_string(count) + " entries");
    const uint8_t* area = node + 24;
    size_t key_end = kLeafArea;  // key bytes are taken from here backwards
    std::string previous;
    for (size_t i = 0; i < count; ++i) {
      uint64_t v = 0;
      for (unsigned b = 0; b < bytes; ++b) v |= uint64_t{area[i * bytes + b]} << (8 * b);
      uint32_t record = static_cast<uint32_t>(v & record_mask);
      unsigned dup = static_cast<unsigned>((v >> record_bits) & dup_mask);
      unsigned trailing = static_cast<unsigned>((v >> (record_bits + dup_bits)) & trail_mask);
      if (dup > previous.size() || dup + trailing > key_length)
        return Fail(where + " entry " + std::to_string(i) + " has impossible counts");
      size_t stored = key_length - dup - trailing;
      if (stored > key_end || key_end - stored < count * bytes)
        return Fail(where + " key bytes overlap its entries");
      key_end -= stored;
      std::string key = previous.substr(0, dup);
      key.append(reinterpret_cast<const char*>(area + key_end), stored);
      key.append(trailing, static_cast<char>(trail));
      if (record == 0) return Fail(where + " holds record number 0");
      out->push_back({key, record});
      previous = std::move(key);
    }
    return true;
  }

  std::span<const uint8_t> file_;
  std::string* problem_;
  std::set<uint32_t> seen_;
};

std::string CString(std::span<const uint8_t> bytes, size_t* used) {
  size_t n = 0;
  while (n < bytes.size() && bytes[n] != 0) ++n;
  *used = n < bytes.size() ? n + 1 : n;
  return std::string(reinterpret_cast<const char*>(bytes.data()), n);
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  size_t b = s.find_first_not_of(' ');
  return b == std::string::npos ? std::string() : s.substr(b);
}

// Visual FoxPro names the collating sequence of a tag inside the reserved
// part of its header; any word there other than MACHINE means keys that
// are not plain bytes.
std::string FindCollation(std::span<const uint8_t> header) {
  std::string word;
  for (size_t i = 16; i <= 502; ++i) {
    uint8_t c = i < 502 ? header[i] : 0;
    if (c >= 'A' && c <= 'Z') {
      word += static_cast<char>(c);
      continue;
    }
    if (word.size() >= 4) return word;
    word.clear();
  }
  return "";
}

bool CheckOrder(const std::vector<KeyEntry>& entries, const std::string& tag, std::string* problem) {
  for (size_t i = 1; i < entries.size(); ++i) {
    if (entries[i - 1].key > entries[i].key) {
      if (problem) *problem = "keys out of order at key " + std::to_string(i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<IndexImage> ReadCdx(std::span<const uint8_t> file, const KeyTypeOf& key_type_of, std::string* problem) {
  std::string local;
  if (!problem) problem = &local;
  problem->clear();
  if (file.size() < kHeaderSize + kNodeSize) {
    *problem = "index file too short (" + std::to_string(file.size()) + " bytes)";
    return std::nullopt;
  }
  if (file.size() > kMaxIndexFileSize) {
    *problem = "index file too large";
    return std::nullopt;
  }
  CdxReader reader(file, problem);
  IndexImage image;
  image.raw_header.assign(file.begin(), file.begin() + kHeaderSize);
  uint16_t dir_key_length = Le16(file.data() + 12);
  if (dir_key_length == 0 || dir_key_length > 64) {
    *problem = "tag directory key length " + std::to_string(dir_key_length) + " is not a compound index's";
    return std::nullopt;
  }
  std::vector<KeyEntry> directory;
  bool leaf_depth_set = false;
  int leaf_depth = 0;
  if (!reader.Walk(Le32(file.data()), dir_key_length, 0x20, 0, &directory, &leaf_depth_set, &leaf_depth))
    return std::nullopt;
  const std::set<uint32_t> directory_nodes = reader.seen();
  // Tags in creation order, which is the order of their headers in the file.
  std::map<uint32_t, std::string> by_offset;
  for (const auto& e : directory) {
    if (!by_offset.emplace(e.record, Trim(e.key)).second) {
      *problem = "two tags share the header at " + std::to_string(e.record);
      return std::nullopt;
    }
  }
  for (const auto& [offset, name] : by_offset) {
    std::span<const uint8_t> header;
    if (offset < kHeaderSize || !reader.Header(offset, &header)) {
      if (problem->empty()) *problem = "tag " + name + ": header offset " + std::to_string(offset) + " is not usable";
      return std::nullopt;
    }
    TagImage tag;
    tag.raw_header.assign(header.begin(), header.end());
    tag.header_offset = offset;
    tag.desc.name = name;
    tag.desc.key_length = Le16(header.data() + 12);
    uint8_t options = header[14];
    tag.desc.unique = (options & 0x01) != 0;
    tag.desc.descending = Le16(header.data() + 502) != 0;
    size_t used = 0;
    auto pool = header.subspan(512);
    tag.desc.expression = Trim(CString(pool, &used));
    if (options & 0x08) {
      size_t ignored = 0;
      tag.desc.filter = Trim(CString(pool.subspan(used), &ignored));
    }
    tag.desc.collation = FindCollation(header);
    if (tag.desc.key_length == 0 || tag.desc.key_length > kMaxKeyLength) {
      *problem = "tag " + name + ": key length " + std::to_string(tag.desc.key_length) + " out of range";
      return std::nullopt;
    }
    if (tag.desc.expression.empty()) {
      *problem = "tag " + name + " has no key expression";
      return std::nullopt;
    }
    tag.desc.key_type = key_type_of ? key_type_of(tag.desc) : 0;
    // A tag whose expression nobody could evaluate has an unknown pad byte:
    // blanks are tried first, then zero bytes, so that the tag can still be
    // described (and refused for the right reason).
    auto saved = reader.seen();
    bool read = false;
    for (uint8_t trail : {TrailByte(tag.desc.key_type), uint8_t{0x00}}) {
      leaf_depth_set = false;
      tag.entries.clear();
      reader.set_seen(saved);
      if (reader.Walk(Le32(header.data()), tag.desc.key_length, trail, 0, &tag.entries, &leaf_depth_set, &leaf_depth) &&
          CheckOrder(tag.entries, name, problem)) {
        read = true;
        break;
      }
      if (tag.desc.key_type != 0 || trail == 0x00) break;
      problem->clear();
    }
    if (!read) {
      *problem = "tag " + name + ": " + *problem;
      return std::nullopt;
    }
    image.tags.push_back(std::move(tag));
  }
  image.used.push_back({0, kHeaderSize});
  for (uint32_t node : reader.seen()) image.used.push_back({node, kNodeSize, !directory_nodes.contains(node)});
  for (const auto& entry : by_offset) image.used.push_back({entry.first, kHeaderSize});
  return image;
}

// ---------------------------------------------------------------------------
// Writing

namespace {

unsigned BitsFor(uint64_t v) {
  unsigned bits = 1;
  while (bits < 64 && (v >> bits) != 0) ++bits;
  return bits;
}

struct Child {
  std::string key;
  uint32_t record;
  uint32_t offset;
};

class CdxWriter {
 public:
  CdxWriter(std::vector<uint8_t>* out, uint32_t base) : out_(out), base_(base) {}

  // Writes the tree of `entries` (sorted) at the end of the file; returns the root's offset.
  uint32_t Tree(const std::vector<KeyEntry>& entries, uint16_t key_length, uint8_t trail) {
    uint32_t max_record = 1;
    for (const auto& e : entries) max_record = std::max(max_record, e.record);
    unsigned dup_bits = BitsFor(key_length), trail_bits = dup_bits;
    unsigned bytes = std::max(3u, (BitsFor(max_record) + dup_bits + trail_bits + 7) / 8);
    unsigned record_bits = std::min(32u, bytes * 8 - dup_bits - trail_bits);

    // Fill leaves greedily; each one ends where the next entry would not fit.
    std::vector<std::pair<size_t, size_t>> leaves;  // [first, last) entry
    size_t first = 0, used = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      size_t need = bytes + Stored(entries, i, first, key_length, trail);
      if (i > first && used + need > kLeafArea) {
        leaves.emplace_back(first, i);
        first = i;
        used = 0;
        need = bytes + Stored(entries, i, first, key_length, trail);
      }
      used += need;
    }
    if (first < entries.size() || leaves.empty()) leaves.emplace_back(first, entries.size());

    uint32_t base = base_ + static_cast<uint32_t>(out_->size());
    std::vector<Child> level;
    for (size_t n = 0; n < leaves.size(); ++n) {
      uint32_t offset = base + static_cast<uint32_t>(n * kNodeSize);
      uint8_t* node = NewNode();
      uint16_t attributes = leaves.size() == 1 ? 3 : 2;
      PutLe16(node, attributes);
      PutLe32(node + 4, n == 0 ? kNone : offset - kNodeSize);
      PutLe32(node + 8, n + 1 == leaves.size() ? kNone : offset + kNodeSize);
      PutLe32(node + 14, record_bits >= 32 ? 0xFFFFFFFF : (uint32_t{1} << record_bits) - 1);
      node[18] = static_cast<uint8_t>((1u << dup_bits) - 1);
      node[19] = static_cast<uint8_t>((1u << trail_bits) - 1);
      node[20] = static_cast<uint8_t>(record_bits);
      node[21] = static_cast<uint8_t>(dup_bits);
      node[22] = static_cast<uint8_t>(trail_bits);
      node[23] = static_cast<uint8_t>(bytes);
      auto [begin, end] = leaves[n];
      PutLe16(node + 2, static_cast<uint16_t>(end - begin));
      uint8_t* area = node + 24;
      size_t key_end = kLeafArea;
      for (size_t i = begin; i < end; ++i) {
        const std::string& key = entries[i].key;
        size_t trailing = Trailing(key, trail, key_length);
        size_t dup = i == begin ? 0 : std::min(Shared(entries[i - 1].key, key), key_length - trailing);
        size_t stored = key_length - dup - trailing;
        key_end -= stored;
        std::copy_n(key.begin() + static_cast<std::ptrdiff_t>(dup), stored, area + key_end);
        uint64_t v = entries[i].record | (uint64_t{dup} << record_bits) | (uint64_t{trailing} << (record_bits + dup_bits));
        for (unsigned b = 0; b < bytes; ++b) area[(i - begin) * bytes + b] = static_cast<uint8_t>(v >> (8 * b));
      }
      PutLe16(node + 12, static_cast<uint16_t>(key_end - (end - begin) * bytes));
      if (end > begin) level.push_back({entries[end - 1].key, entries[end - 1].record, offset});
    }
    if (leaves.size() == 1) return base;

    // Interior levels until one node holds them all.
    size_t per_node = kInteriorArea / (size_t{key_length} + 8);
    while (true) {
      size_t nodes = (level.size() + per_node - 1) / per_node;
      uint32_t level_base = base_ + static_cast<uint32_t>(out_->size());
      std::vector<Child> next;
      for (size_t n = 0; n < nodes; ++n) {
        uint32_t offset = level_base + static_cast<uint32_t>(n * kNodeSize);
        uint8_t* node = NewNode();
        size_t begin = n * level.size() / nodes, end = (n + 1) * level.size() / nodes;  // even spread
        PutLe16(node, nodes == 1 ? 1 : 0);
        PutLe16(node + 2, static_cast<uint16_t>(end - begin));
        PutLe32(node + 4, n == 0 ? kNone : offset - kNodeSize);
        PutLe32(node + 8, n + 1 == nodes ? kNone : offset + kNodeSize);
        for (size_t i = begin; i < end; ++i) {
          uint8_t* e = node + 12 + (i - begin) * (size_t{key_length} + 8);
          std::copy_n(level[i].key.begin(), key_length, e);
          PutBe32(e + key_length, level[i].record);
          PutBe32(e + key_length + 4, level[i].offset);
        }
        next.push_back({level[end - 1].key, level[end - 1].record, offset});
      }
      if (nodes == 1) return level_base;
      level = std::move(next);
    }
  }

  uint8_t* NewNode() {
    out_->resize(out_->size() + kNodeSize, 0);
    return out_->data() + out_->size() - kNodeSize;
  }

 private:
  static size_t Shared(const std::string& a, const std::string& b) {
    size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
    return n;
  }
  static size_t Trailing(const std::string& key, uint8_t trail, size_t limit) {
    size_t n = 0;
    while (n < limit && n < key.size() && static_cast<uint8_t>(key[key.size() - 1 - n]) == trail) ++n;
    return n;
  }
  static size_t Stored(const std::vector<KeyEntry>& entries, size_t i, size_t first, uint16_t key_length,
                       uint8_t trail) {
    // Trailing pad is counted first; the shared prefix only covers the rest.
    size_t trailing = Trailing(entries[i].key, trail, key_length);
    size_t dup = i == first ? 0 : std::min(Shared(entries[i - 1].key, entries[i].key), key_length - trailing);
    return key_length - dup - trailing;
  }

  std::vector<uint8_t>* out_;
  uint32_t base_;
};

// A header: the bytes `raw` holds (the tag's own, or its model's for a new
// tag) with the fields this tree and tag need. The directory's header keeps
// everything past the key length as it was.
void WriteHeader(uint8_t* h, const std::vector<uint8_t>& raw, uint32_t root, uint16_t key_length, uint8_t options,
                 bool descending, const std::string& expression, const std::string& filter, bool directory = false) {
  if (raw.size() == kHeaderSize) std::copy(raw.begin(), raw.end(), h);
  else h[15] = 1;
  PutLe32(h, root);
  PutLe32(h + 4, kNone);
  PutLe32(h + 8, (raw.size() == kHeaderSize ? Le32(raw.data() + 8) : 0) + 1);
  PutLe16(h + 12, key_length);
  h[14] = options;
  if (directory && raw.size() == kHeaderSize) return;
  PutLe16(h + 502, descending ? 1 : 0);
  std::fill(h + 512, h + kHeaderSize, uint8_t{0});
  size_t key_len = expression.size() + 1;
  size_t for_len = filter.empty() ? 0 : filter.size() + 1;
  std::copy(expression.begin(), expression.end(), h + 512);
  if (!filter.empty()) std::copy(filter.begin(), filter.end(), h + 512 + key_len);
  PutLe16(h + 504, static_cast<uint16_t>(key_len));
  PutLe16(h + 506, static_cast<uint16_t>(for_len));
  PutLe16(h + 510, static_cast<uint16_t>(key_len));
}

}  // namespace

std::vector<uint8_t> WriteCdx(const IndexImage& image, uint32_t base) {
  std::vector<uint8_t> out(kHeaderSize * (1 + image.tags.size()), 0);
  CdxWriter writer(&out, base);

  std::vector<KeyEntry> directory;
  for (size_t i = 0; i < image.tags.size(); ++i) {
    std::string name = image.tags[i].desc.name.substr(0, 10);
    name.resize(10, ' ');
    directory.push_back({name, base + static_cast<uint32_t>(kHeaderSize * (1 + i))});
  }
  std::sort(directory.begin(), directory.end(), [](const KeyEntry& a, const KeyEntry& b) { return a.key < b.key; });
  uint32_t directory_root = writer.Tree(directory, 10, 0x20);
  uint8_t dir_options = image.raw_header.size() == kHeaderSize ? image.raw_header[14] : 0xE0;
  WriteHeader(out.data(), image.raw_header, directory_root, 10, dir_options, false, "", "", true);

  for (size_t i = 0; i < image.tags.size(); ++i) {
    const TagImage& tag = image.tags[i];
    uint32_t root = writer.Tree(tag.entries, tag.desc.key_length, TrailByte(tag.desc.key_type));
    uint8_t options = tag.raw_header.size() == kHeaderSize ? tag.raw_header[14] : 0x60;
    options = static_cast<uint8_t>((options & ~0x09) | (tag.desc.unique ? 0x01 : 0) | (tag.desc.filter.empty() ? 0 : 0x08));
    WriteHeader(out.data() + kHeaderSize * (1 + i), tag.raw_header, root, tag.desc.key_length, options,
                tag.desc.descending, tag.desc.expression, tag.desc.filter);
  }
  return out;
}

Trees WriteCdxTrees(const IndexImage& image, uint32_t base) {
  Trees trees;
  CdxWriter writer(&trees.bytes, base);
  for (const TagImage& tag : image.tags) {
    const size_t before = trees.bytes.size();
    trees.roots.push_back(writer.Tree(tag.entries, tag.desc.key_length, TrailByte(tag.desc.key_type)));
    trees.pages.push_back(static_cast<uint32_t>((trees.bytes.size() - before) / kNodeSize));
  }
  return trees;
}

}  // namespace xbase::index
