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
  // Where that header lies in the file (a byte offset). Readers find a tag's
  // header there once, when they open the file: it never moves.
  uint64_t header_offset = 0;
};

struct ByteRange {
  uint64_t offset = 0;
  uint64_t length = 0;
  bool tree = false;  // a node of a tag's tree (not a header or the tag directory)
};

struct IndexImage {
  std::vector<uint8_t> raw_header;   // the file header as read; empty for a new file
  std::vector<TagImage> tags;        // in creation order
  // Every part of the file in use: the file header, the tag directory, tag
  // headers and tree nodes. The rest is free for new trees.
  std::vector<ByteRange> used;
};

// New trees for every tag of an image, one after another, laid out to be
// written at byte offset `base` of the file: roots[t] is tag t's root (a
// .cdx: its byte offset; an .mdx: its page), pages[t] the pages its nodes
// take. Written into free space and then switched to (see
// production_index.h), they leave the trees in use untouched.
struct Trees {
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> roots;
  std::vector<uint32_t> pages;
};

// The largest index file the engine reads into memory.
constexpr uint64_t kMaxIndexFileSize = uint64_t{1} << 31;

// A .cdx file does not record key types: the reader asks, per tag, from its
// expression (0 for unknown: character keys are assumed).
using KeyTypeOf = std::function<char(const TagDescription&)>;

std::optional<IndexImage> ReadCdx(std::span<const uint8_t> file, const KeyTypeOf& key_type_of, std::string* problem);
// The image as a whole new file (with `base`, laid out for that offset).
std::vector<uint8_t> WriteCdx(const IndexImage& image, uint32_t base = 0);
Trees WriteCdxTrees(const IndexImage& image, uint32_t base);

std::optional<IndexImage> ReadMdx(std::span<const uint8_t> file, std::string* problem);
// `table_name` is the table's file name without folder and extension;
// `today` (UTC) the update date, and the creation date of an image without
// a file header; with `base` (a multiple of kMdxBlockSize), page numbers are
// for the image placed at that offset.
std::vector<uint8_t> WriteMdx(const IndexImage& image, const std::string& table_name, const LocalDate& today,
                              uint32_t base = 0);
// `base` a multiple of kMdxBlockSize.
Trees WriteMdxTrees(const IndexImage& image, uint32_t base);
constexpr size_t kMdxBlockSize = 1024;

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
