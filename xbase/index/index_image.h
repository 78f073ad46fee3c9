// IndexImage: the content of an index file as the engine keeps it: per tag
// its description and its keys in the tag's order. The .cdx and .mdx codecs
// turn a file into an image (checking every byte they rely on) and an image
// into a file; ProductionIndex keeps the image up to date in between.
#pragma once

#include "xbase/index/production_index.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace xbase::index {

struct KeyEntry {
  std::string key;  // sortable form, exactly key_length bytes (8 for N and D)
  uint32_t record = 0;
};

struct TagImage {
  TagDescription desc;               // key_type 0 when the file does not say and nobody knew
  std::vector<KeyEntry> entries;     // in the tag's order
  // The tag header as read (an .mdx's followed by its 32-byte tag table
  // entry); empty for a new tag.
  std::vector<uint8_t> raw_header;
};

struct IndexImage {
  std::vector<uint8_t> raw_header;   // the file header as read; empty for a new file
  std::vector<TagImage> tags;        // in creation order
  // The lowest file offset of a tag header or node the file's trees use
  // (the file's size when none): the space below it, after the file's own
  // header, is free for a new image.
  uint64_t lowest_offset = 0;
};

// The largest index file the engine reads into memory.
constexpr uint64_t kMaxIndexFileSize = uint64_t{1} << 31;

// A .cdx file does not record key types: the reader asks, per tag, from its
// expression (0 for unknown: character keys are assumed).
using KeyTypeOf = std::function<char(const TagDescription&)>;

std::optional<IndexImage> ReadCdx(std::span<const uint8_t> file, const KeyTypeOf& key_type_of, std::string* problem);
// The image as a file. With `base`, every offset in it is for the image
// placed at that offset of the file: its trees and tag headers can be
// written there beside the ones in use, and then one short write of the
// file header (the first 16 bytes) makes them the ones in use.
std::vector<uint8_t> WriteCdx(const IndexImage& image, uint32_t base = 0);
constexpr size_t kCdxSwitchBytes = 16;

std::optional<IndexImage> ReadMdx(std::span<const uint8_t> file, std::string* problem);
// `table_name` is the table's file name without folder and extension. With
// `base` (a multiple of kMdxBlockSize), page numbers are for the image
// placed at that offset; the file header and tag table (the first
// MdxSwitchBytes(tags) bytes) then make its trees the ones in use.
std::vector<uint8_t> WriteMdx(const IndexImage& image, const std::string& table_name, uint32_t base = 0);
constexpr size_t kMdxBlockSize = 1024;
constexpr size_t kMdxHeaderBytes = 2048;  // file header and tag table, before the first tag header
inline size_t MdxSwitchBytes(size_t tags) { return 544 + 32 * tags; }

// Whether a tag stores its keys largest first in the file.
inline bool StoredDescending(IndexKind kind, const TagDescription& tag) {
  // A compound index stores every tag ascending and only reads a descending
  // one backwards; dBASE IV builds the tree in the tag's own order.
  return kind == IndexKind::kMdx && tag.descending;
}

// Tag order of two entries: by key (reversed for a descending .mdx tag),
// equal keys by record number.
inline bool EntryBefore(const KeyEntry& a, const KeyEntry& b, bool descending) {
  int c = a.key.compare(b.key);
  if (c != 0) return descending ? c > 0 : c < 0;
  return a.record < b.record;
}

}  // namespace xbase::index
