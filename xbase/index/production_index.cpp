#include "xbase/index/production_index.h"

#include "common/Ascii.h"

#include "xbase/byte_order.h"
#include "xbase/index/expression.h"
#include "xbase/index/index_image.h"
#include "xbase/index/key_codec.h"
#include "xbase/locks.h"
#include "xbase/os_file.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>

namespace xbase::index {

namespace {

constexpr uint16_t kCdxMaxKey = 240;
constexpr uint16_t kMdxMaxKey = 100;
constexpr size_t kMdxMaxTags = 47;

struct EntryOrder {
  bool descending = false;
  bool operator()(const KeyEntry& a, const KeyEntry& b) const { return EntryBefore(a, b, descending); }
};

struct Tag {
  TagDescription desc;
  std::unique_ptr<Expression> key;
  std::unique_ptr<Expression> filter;
  std::string problem;  // why this tag can't be maintained; empty when it can
  std::set<KeyEntry, EntryOrder> keys;
  std::vector<KeyEntry> pending;  // added since the file was last read or written
  std::vector<KeyEntry> removed;  // taken out since then
  std::vector<uint8_t> raw_header;
};

std::string Quote(const TagDescription& d) {
  std::string s = "tag " + d.name + " (" + d.expression;
  if (!d.filter.empty()) s += " FOR " + d.filter;
  return s + ")";
}

// Compiles a tag's expressions against the table's fields and settles its
// key type and length; a tag we could not keep exactly gets `problem`.
void CompileTag(IndexKind kind, const std::vector<FieldInfo>& fields, Tag* tag) {
  TagDescription& d = tag->desc;
  auto refuse = [&](const std::string& why) {
    if (tag->problem.empty()) tag->problem = Quote(d) + ": " + why;
  };
  std::string why;
  if (d.name.empty() || d.name.size() > 10) refuse("tag name must have 1 to 10 characters");
  if (!d.collation.empty() && d.collation != "MACHINE")
    refuse("collating sequence " + d.collation + " is not supported, only MACHINE");
  tag->key = Expression::Compile(d.expression, fields, &why);
  if (!tag->key) return refuse(why);
  if (!d.filter.empty()) {
    tag->filter = Expression::Compile(d.filter, fields, &why);
    if (!tag->filter) return refuse("FOR condition: " + why);
    if (tag->filter->type() != ValueType::kLogical) return refuse("FOR condition is not logical");
  }
  char type = static_cast<char>(tag->key->type());
  if (type == 'L') return refuse("logical keys are not supported");
  if (d.key_type != 0 && d.key_type != type)
    return refuse(std::string("the file says key type ") + d.key_type + " but the expression gives " + type);
  d.key_type = type;
  uint16_t length = 8;
  if (type == 'N' && kind == IndexKind::kMdx) length = 12;
  if (type == 'C') {
    auto blank = BlankRecord(fields);
    RawRecord record(fields, blank, 1);
    size_t n = tag->key->Evaluate(record).text.size();
    uint16_t limit = kind == IndexKind::kCdx ? kCdxMaxKey : kMdxMaxKey;
    if (n == 0 || n > limit)
      return refuse("key length " + std::to_string(n) + " is outside 1.." + std::to_string(limit));
    length = static_cast<uint16_t>(n);
  }
  if (d.key_length != 0 && d.key_length != length)
    return refuse("the file says key length " + std::to_string(d.key_length) + " but the expression gives " +
                  std::to_string(length));
  d.key_length = length;
  size_t pool = d.expression.size() + 1 + (d.filter.empty() ? 0 : d.filter.size() + 1);
  if (kind == IndexKind::kCdx && pool > 512) refuse("key and FOR expressions longer than 510 characters");
  if (kind == IndexKind::kMdx && (d.expression.size() > 219 || d.filter.size() > 219))
    refuse("key or FOR expression longer than 219 characters");
}

std::string UpperName(std::string s) { return tidewell::ascii::Upper(s); }

std::string TableName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.resize(dot);
  return UpperName(name);
}

// A date as an .mdx header stores it.
void StampMdxDate(uint8_t* p, const LocalDate& date) {
  p[0] = static_cast<uint8_t>(date.year - 1900);
  p[1] = static_cast<uint8_t>(date.month);
  p[2] = static_cast<uint8_t>(date.day);
}

FileRole RoleOf(IndexKind kind) { return kind == IndexKind::kCdx ? FileRole::kCdx : FileRole::kMdx; }

// The whole of an open index file; the caller holds its lock.
bool ReadWhole(SharedFile& file, const std::string& path, std::vector<uint8_t>* bytes, std::string* problem) {
  auto size = file.Size();
  if (!size) {
    *problem = "can't read " + path;
    return false;
  }
  if (*size > kMaxIndexFileSize) {
    *problem = path + " is too large for an index";
    return false;
  }
  bytes->resize(static_cast<size_t>(*size));
  if (!file.ReadAt(0, bytes->data(), bytes->size())) {
    *problem = "can't read " + path;
    return false;
  }
  return true;
}

// Reads an index file whole under a shared index lock, so that a writer
// (ours or another program's) is never caught halfway.
bool ReadShared(SharedFile& file, const std::string& path, std::vector<uint8_t>* bytes, std::string* problem) {
  auto reading = file.LockFile(false);
  if (!reading) {
    *problem = path + " is locked by another program";
    return false;
  }
  return ReadWhole(file, path, bytes, problem);
}

// What tells a reader of a .cdx that the file changed since it last looked:
// the file's size, and the first 12 bytes (root, free-node pointer and the
// version every change moves on) of the file header and of each tag header.
// The bytes as the file holds them now; empty when they can't be read.
std::vector<uint8_t> ReadCdxChangeFields(SharedFile& file, const std::vector<uint64_t>& tag_headers) {
  std::vector<uint8_t> fields(8 + 12 * (1 + tag_headers.size()));
  auto size = file.Size();
  if (!size) return {};
  PutLe32(fields.data(), static_cast<uint32_t>(*size));
  PutLe32(fields.data() + 4, static_cast<uint32_t>(*size >> 32));
  if (!file.ReadAt(0, fields.data() + 8, 12)) return {};
  for (size_t t = 0; t < tag_headers.size(); ++t)
    if (!file.ReadAt(tag_headers[t], fields.data() + 20 + 12 * t, 12)) return {};
  return fields;
}

// The same fields of a file we know the headers of.
std::vector<uint8_t> CdxChangeFields(uint64_t size, const std::vector<uint8_t>& file_header,
                                     const std::vector<const std::vector<uint8_t>*>& tag_headers) {
  std::vector<uint8_t> fields(8 + 12 * (1 + tag_headers.size()));
  PutLe32(fields.data(), static_cast<uint32_t>(size));
  PutLe32(fields.data() + 4, static_cast<uint32_t>(size >> 32));
  if (file_header.size() < 12) return {};
  std::copy_n(file_header.begin(), 12, fields.begin() + 8);
  for (size_t t = 0; t < tag_headers.size(); ++t) {
    if (tag_headers[t]->size() < 12) return {};
    std::copy_n(tag_headers[t]->begin(), 12, fields.begin() + 20 + static_cast<std::ptrdiff_t>(12 * t));
  }
  return fields;
}

// The first place, from the start of the file, where `size` bytes fit
// between the parts in use, aligned to `align`; past the last part in use
// when no gap is wide enough (the file grows).
uint64_t FreeRun(std::vector<ByteRange> used, uint64_t size, uint64_t align) {
  std::sort(used.begin(), used.end(), [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
  auto up = [align](uint64_t v) { return (v + align - 1) / align * align; };
  uint64_t cursor = 0;
  for (const auto& r : used) {
    if (r.offset >= up(cursor) && r.offset - up(cursor) >= size) return up(cursor);
    cursor = std::max(cursor, r.offset + r.length);
  }
  return up(cursor);
}

class Index final : public ProductionIndex {
 public:
  Index(std::string path, IndexKind kind, std::vector<FieldInfo> fields, Env* env)
      : path_(std::move(path)), kind_(kind), fields_(std::move(fields)), env_(&Env::Or(env)) {}

  ~Index() override {
    std::string ignored;
    if (dirty_) Flush(&ignored);
  }

  void AddTag(TagDescription desc, std::vector<uint8_t> raw_header, std::vector<KeyEntry> entries) {
    auto tag = std::make_unique<Tag>();
    tag->desc = std::move(desc);
    tag->raw_header = raw_header.empty() ? tag->desc.header : std::move(raw_header);
    tag->desc.header = tag->raw_header;
    CompileTag(kind_, fields_, tag.get());
    tag->keys = std::set<KeyEntry, EntryOrder>(EntryOrder{StoredDescending(kind_, tag->desc)});
    for (auto& e : entries) tag->keys.insert(tag->keys.end(), std::move(e));
    descriptions_.push_back(tag->desc);
    tags_.push_back(std::move(tag));
  }

  IndexKind kind() const override { return kind_; }
  const std::string& path() const override { return path_; }
  const std::vector<TagDescription>& tags() const override { return descriptions_; }
  const std::vector<uint8_t>& file_header() const override { return raw_header_; }

  std::string Unmaintainable() const override {
    for (const auto& t : tags_)
      if (!t->problem.empty()) return t->problem;
    if (kind_ == IndexKind::kMdx && tags_.size() > kMdxMaxTags) return "more than 47 tags";
    return "";
  }

  bool AddRecord(uint32_t record_number, std::span<const uint8_t> record, std::string* problem) override {
    return AddRecord(RawRecord(fields_, record, record_number), problem);
  }

  bool AddRecord(const RecordView& record, std::string* problem) override {
    std::string why = Unmaintainable();
    if (!why.empty()) {
      if (problem) *problem = why;
      return false;
    }
    if (record.RecordNumber() == 0) {
      if (problem) *problem = "record number 0";
      return false;
    }
    for (auto& tag : tags_) {
      auto key = MakeKey(*tag, record);
      if (!key) continue;
      KeyEntry entry{std::move(*key), record.RecordNumber()};
      if (tag->desc.unique) {
        auto it = tag->keys.lower_bound(KeyEntry{entry.key, 0});
        if (it != tag->keys.end() && it->key == entry.key) continue;
      }
      std::erase_if(tag->removed, [&](const KeyEntry& e) { return e.record == entry.record && e.key == entry.key; });
      tag->pending.push_back(entry);
      tag->keys.insert(std::move(entry));
    }
    dirty_ = true;
    return true;
  }

  bool RemoveRecord(uint32_t record_number, std::span<const uint8_t> record, std::string* problem) override {
    const RawRecord view(fields_, record, record_number);
    for (auto& tag : tags_) {
      if (!tag->problem.empty()) continue;
      auto key = MakeKey(*tag, view);
      if (!key) continue;
      KeyEntry entry{std::move(*key), record_number};
      auto it = tag->keys.find(entry);
      if (it == tag->keys.end() || it->record != record_number) continue;  // a unique tag kept another record
      tag->keys.erase(it);
      // A key added since the file was read just goes; one the file holds
      // must also be kept out of the merge.
      const auto pending = std::erase_if(
          tag->pending, [&](const KeyEntry& e) { return e.record == record_number && e.key == entry.key; });
      if (pending == 0) tag->removed.push_back(std::move(entry));
    }
    dirty_ = true;
    (void)problem;
    return true;
  }

  bool Flush(std::string* problem) override {
    if (!dirty_) return true;
    if (on_disk_ && !fresh_) {
      if (!FlushShared(problem)) return false;
    } else {
      IndexImage image;
      image.raw_header = raw_header_;
      for (const auto& tag : tags_) {
        TagImage t;
        t.desc = tag->desc;
        t.raw_header = tag->raw_header;
        t.entries.assign(tag->keys.begin(), tag->keys.end());
        image.tags.push_back(std::move(t));
      }
      if (!WriteNew(image, problem)) return false;
    }
    for (auto& tag : tags_) {
      tag->pending.clear();
      tag->removed.clear();
    }
    dirty_ = false;
    on_disk_ = true;
    return true;
  }

  void Walk(size_t tag, const std::function<bool(std::string_view, uint32_t)>& fn) const override {
    if (tag >= tags_.size()) return;
    for (const auto& e : tags_[tag]->keys)
      if (!fn(e.key, e.record)) return;
  }

  size_t KeyCount(size_t tag) const override { return tag < tags_.size() ? tags_[tag]->keys.size() : 0; }

  std::optional<uint32_t> Seek(size_t tag, std::string_view key) const override {
    if (tag >= tags_.size()) return std::nullopt;
    const Tag& t = *tags_[tag];
    std::string probe(key);
    if (StoredDescending(kind_, t.desc) && probe.size() < t.desc.key_length)
      probe.append(t.desc.key_length - probe.size(), '\xFF');
    auto it = t.keys.lower_bound(KeyEntry{probe, 0});
    if (it == t.keys.end() || it->key.compare(0, key.size(), key) != 0) return std::nullopt;
    return it->record;
  }

  std::optional<std::string> KeyOf(size_t tag, const RecordView& record) const override {
    if (tag >= tags_.size() || !tags_[tag]->problem.empty()) return std::nullopt;
    return MakeKey(*tags_[tag], record);
  }

  void SetLockWait(IndexLockWait wait) override {
    wait_ = std::move(wait);
    if (file_) file_->set_wait({wait_.timeout_ms, wait_.cancelled});
  }

  // Takes the file Open read `image` from (`bytes`), to keep until the
  // index goes: every flush reads and writes through this one handle.
  void Adopt(std::unique_ptr<SharedFile> file, bool writable, const IndexImage& image, uint64_t size) {
    file_ = std::move(file);
    writable_ = writable;
    RememberLayout(image, size);
  }

  std::vector<uint8_t> raw_header_;
  bool dirty_ = false;
  bool on_disk_ = false;  // the file holds what was last read or written
  bool fresh_ = false;    // made by Create: nobody else can have it open
  IndexLockWait wait_;

 private:
  std::vector<uint8_t> Bytes(const IndexImage& image, uint32_t base) const {
    return kind_ == IndexKind::kCdx ? WriteCdx(image, base) : WriteMdx(image, TableName(path_), env_->UtcToday(), base);
  }
  Trees TreesAt(const IndexImage& image, uint32_t base) const {
    return kind_ == IndexKind::kCdx ? WriteCdxTrees(image, base) : WriteMdxTrees(image, base);
  }
  size_t FileHeaderSize() const { return kind_ == IndexKind::kCdx ? 1024 : 544; }

  // A file nobody else can have open yet (see Create).
  bool WriteNew(const IndexImage& image, std::string* problem) {
    auto bytes = Bytes(image, 0);
    std::string why;
    std::unique_ptr<SharedFile> file;
    if (auto created = env_->Create(path_, false, &why))
      file = std::make_unique<SharedFile>(std::move(created), RoleOf(kind_), LockScheme::High(),
                                          LockWait{wait_.timeout_ms, wait_.cancelled});
    std::optional<HeldLock> held;
    if (file) held = file->LockFile(true);
    if (!held || !file->WriteAt(*held, 0, bytes.data(), bytes.size()) || !file->Sync()) {
      if (problem) *problem = "can't write " + path_ + (why.empty() ? "" : ": " + why);
      return false;
    }
    held.reset();
    file_ = std::move(file);
    writable_ = true;
    layout_.reset();
    change_fields_.clear();
    raw_header_.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(FileHeaderSize()));
    return true;
  }

  // What the file holds besides the keys, as read or written last: its
  // headers, where each tag header lies, and which parts are in use.
  // A .cdx also keeps its change fields, to tell whether anyone wrote to
  // the file since.
  void RememberLayout(const IndexImage& image, uint64_t size) {
    IndexImage layout;
    layout.raw_header = image.raw_header;
    layout.used = image.used;
    for (const auto& t : image.tags) {
      TagImage tag;
      tag.raw_header = t.raw_header;
      tag.header_offset = t.header_offset;
      layout.tags.push_back(std::move(tag));
    }
    std::vector<const std::vector<uint8_t>*> headers;
    for (const auto& t : layout.tags) headers.push_back(&t.raw_header);
    change_fields_ = kind_ == IndexKind::kCdx ? CdxChangeFields(size, layout.raw_header, headers) : std::vector<uint8_t>{};
    layout_ = std::move(layout);
  }

  // True when the file is as this object last read or wrote it, by its
  // change fields: nobody flushed since, and the keys in memory are the
  // file's plus those added here. Only a .cdx can tell: an .mdx keeps no
  // change counter, and dBASE IV writes keys into its nodes in place, so
  // an .mdx is always read again.
  bool Unchanged() {
    if (kind_ != IndexKind::kCdx || !layout_ || change_fields_.empty()) return false;
    std::vector<uint64_t> offsets;
    for (const auto& t : layout_->tags) offsets.push_back(t.header_offset);
    return ReadCdxChangeFields(*file_, offsets) == change_fields_;
  }

  // The file in use, under its lock from the read to the switch (see the
  // contract at the top of production_index.h): what others flushed
  // meanwhile is merged in, the new trees go into space no part in use
  // covers and reach the disk, then every tag header, where it has always
  // been, is switched to its new tree, and the file header's change fields
  // move on.
  bool FlushShared(std::string* problem) {
    std::string why;
    auto fail = [&](const std::string& what) {
      if (problem) *problem = what + " " + path_ + (why.empty() ? "" : ": " + why);
      return false;
    };
    if (!file_ || !writable_) {
      why = "opened for reading only";
      return fail("can't write");
    }
    auto held = file_->LockFile(true);
    if (!held) return fail("another program holds the lock of");

    std::optional<IndexImage> on_disk;
    if (Unchanged()) {
      on_disk = *layout_;
    } else {
      std::vector<uint8_t> bytes;
      if (!ReadWhole(*file_, path_, &bytes, &why)) return fail("can't read");
      on_disk = Parse(bytes, problem);
      if (!on_disk || !Merge(*on_disk, problem)) return false;
    }
    // Should a write below fail, the file is no longer what we know of it.
    layout_.reset();
    change_fields_.clear();

    IndexImage image;
    for (size_t t = 0; t < tags_.size(); ++t) {
      TagImage tag;
      tag.desc = tags_[t]->desc;
      tag.entries.assign(tags_[t]->keys.begin(), tags_[t]->keys.end());
      image.tags.push_back(std::move(tag));
    }
    const uint64_t align = kind_ == IndexKind::kCdx ? 512 : kMdxBlockSize;
    const uint64_t base = FreeRun(on_disk->used, TreesAt(image, 0).bytes.size(), align);
    if (base + (uint64_t{1} << 20) > kMaxIndexFileSize) return fail("no room left in");
    const Trees trees = TreesAt(image, static_cast<uint32_t>(base));
    if (!file_->WriteAt(*held, base, trees.bytes.data(), trees.bytes.size()) || !file_->Sync())
      return fail("can't write");

    // One write per tag header, each a few bytes within one sector (see the
    // contract). Until the last one lands a tag may still point at its old
    // tree: a valid tree, behind the table at worst, which the next open
    // catches up.
    for (size_t t = 0; t < tags_.size(); ++t) {
      std::vector<uint8_t>& raw = tags_[t]->raw_header;
      uint8_t* h = raw.data();
      size_t length = 0;
      if (kind_ == IndexKind::kCdx) {
        PutLe32(h, trees.roots[t]);
        PutLe32(h + 4, 0xFFFFFFFFu);
        PutLe32(h + 8, GetLe32(h + 8) + 1);
        length = 12;
      } else {
        PutLe32(h, trees.roots[t]);
        PutLe32(h + 4, trees.pages[t]);
        length = 8;
      }
      if (!file_->WriteAt(*held, on_disk->tags[t].header_offset, h, length)) return fail("can't write");
    }
    uint8_t* fh = raw_header_.data();
    if (kind_ == IndexKind::kCdx) {
      PutLe32(fh + 8, GetLe32(fh + 8) + 1);
      if (!file_->WriteAt(*held, 8, fh + 8, 4)) return fail("can't write");
    } else {
      // New pages are taken from the end by other writers: past our trees.
      const uint32_t end_page = static_cast<uint32_t>((base + trees.bytes.size()) / 512);
      if (GetLe32(fh + 32) < end_page) PutLe32(fh + 32, end_page);
      StampMdxDate(fh + 44, env_->UtcToday());
      if (!file_->WriteAt(*held, 32, fh + 32, 16)) return fail("can't write");
    }
    if (!file_->Sync()) return fail("can't write");
    for (size_t t = 0; t < tags_.size(); ++t) tags_[t]->desc.header = tags_[t]->raw_header;

    // The file as it is now: the old trees' space is free, ours in use.
    IndexImage now;
    now.raw_header = raw_header_;
    for (const auto& r : on_disk->used)
      if (!r.tree) now.used.push_back(r);
    now.used.push_back({base, trees.bytes.size(), true});
    for (size_t t = 0; t < tags_.size(); ++t) {
      TagImage tag;
      tag.raw_header = tags_[t]->raw_header;
      tag.header_offset = on_disk->tags[t].header_offset;
      now.tags.push_back(std::move(tag));
    }
    if (auto size = file_->Size()) RememberLayout(now, *size);
    return true;
  }

  std::optional<IndexImage> Parse(std::span<const uint8_t> bytes, std::string* problem) const {
    std::string why;
    auto key_type_of = [this](const TagDescription& d) -> char {
      for (const auto& t : tags_)
        if (t->desc.name == d.name) return t->desc.key_type;
      return 0;
    };
    auto image = kind_ == IndexKind::kCdx ? ReadCdx(bytes, key_type_of, &why) : ReadMdx(bytes, &why);
    if (!image && problem) *problem = path_ + " changed and can't be read again: " + why;
    return image;
  }

  // Another program may have appended to the table, and to this index,
  // since we read it: the file as it is now, plus the keys added here,
  // is what gets written, so that neither writer's keys are lost.
  bool Merge(IndexImage& image, std::string* problem) {
    if (image.tags.size() != tags_.size()) {
      if (problem) *problem = path_ + ": another program changed its tags";
      return false;
    }
    for (size_t t = 0; t < tags_.size(); ++t) {
      Tag& tag = *tags_[t];
      TagImage& fresh = image.tags[t];
      if (fresh.desc.name != tag.desc.name || fresh.desc.expression != tag.desc.expression ||
          fresh.desc.key_length != tag.desc.key_length) {
        if (problem) *problem = path_ + ": another program changed tag " + tag.desc.name;
        return false;
      }
      std::set<KeyEntry, EntryOrder> keys(EntryOrder{StoredDescending(kind_, tag.desc)});
      for (auto& e : fresh.entries) keys.insert(keys.end(), std::move(e));
      for (const auto& e : tag.pending) {
        if (tag.desc.unique) {
          // A unique tag keeps the first record of a key, whoever added it.
          auto it = keys.lower_bound(KeyEntry{e.key, 0});
          if (it != keys.end() && it->key == e.key) {
            if (it->record < e.record) continue;
            keys.erase(it);
          }
        }
        keys.insert(e);
      }
      for (const auto& e : tag.removed) {
        auto it = keys.find(e);
        if (it != keys.end() && it->record == e.record) keys.erase(it);
      }
      tag.keys = std::move(keys);
      tag.raw_header = fresh.raw_header;
    }
    raw_header_ = image.raw_header;
    return true;
  }

  static std::optional<std::string> MakeKey(const Tag& tag, const RecordView& record) {
    if (tag.filter && !tag.filter->Evaluate(record).logical) return std::nullopt;
    Value v = tag.key->Evaluate(record);
    if (tag.desc.key_type == 'C') {
      v.text.resize(tag.desc.key_length, ' ');
      return std::move(v.text);
    }
    return SortableDouble(v.number);
  }

  std::string path_;
  IndexKind kind_;
  std::vector<FieldInfo> fields_;
  Env* env_;
  // The one handle on the file, from Open's read to the last flush.
  std::unique_ptr<SharedFile> file_;
  bool writable_ = false;
  std::optional<IndexImage> layout_;   // entries left out
  std::vector<uint8_t> change_fields_;  // a .cdx's, as read or written last
  std::vector<std::unique_ptr<Tag>> tags_;
  std::vector<TagDescription> descriptions_;
};

}  // namespace

std::optional<IndexKind> ProductionIndex::KindOfPath(const std::string& path) {
  if (path.size() < 4) return std::nullopt;
  std::string ext = UpperName(path.substr(path.size() - 4));
  if (ext == ".CDX") return IndexKind::kCdx;
  if (ext == ".MDX") return IndexKind::kMdx;
  return std::nullopt;
}

std::string ProductionIndex::CheckTags(IndexKind kind, const std::vector<TagDescription>& tags,
                                       const std::vector<FieldInfo>& fields) {
  if (tags.empty()) return "no tags";
  if (kind == IndexKind::kMdx && tags.size() > kMdxMaxTags) return "more than 47 tags";
  for (size_t i = 0; i < tags.size(); ++i) {
    Tag tag;
    tag.desc = tags[i];
    tag.desc.name = UpperName(tag.desc.name);
    CompileTag(kind, fields, &tag);
    if (!tag.problem.empty()) return tag.problem;
    for (size_t j = 0; j < i; ++j)
      if (UpperName(tags[j].name) == tag.desc.name) return "tag " + tag.desc.name + " appears twice";
  }
  return "";
}

std::unique_ptr<ProductionIndex> ProductionIndex::Open(const std::string& path, const std::vector<FieldInfo>& fields,
                                                       std::string* problem, const IndexLockWait& wait,
                                                       Env* env) {
  std::string local;
  if (!problem) problem = &local;
  auto kind = KindOfPath(path);
  if (!kind) {
    *problem = path + " is neither a .cdx nor a .mdx file";
    return nullptr;
  }
  // Opened for writing when it may be (a flush needs it), else for reading.
  Env& files = Env::Or(env);
  std::string why;
  bool writable = true;
  auto os_file = files.Open(path, OsFile::Access::kReadWrite, &why);
  if (!os_file) {
    writable = false;
    os_file = files.Open(path, OsFile::Access::kReadOnly, &why);
  }
  if (!os_file) {
    *problem = "can't open " + path;
    return nullptr;
  }
  auto file = std::make_unique<SharedFile>(std::move(os_file), RoleOf(*kind), LockScheme::High(),
                                           LockWait{wait.timeout_ms, wait.cancelled});
  std::vector<uint8_t> bytes;
  if (!ReadShared(*file, path, &bytes, problem)) return nullptr;
  std::optional<IndexImage> image;
  if (*kind == IndexKind::kCdx) {
    auto key_type_of = [&fields](const TagDescription& d) -> char {
      std::string ignored;
      auto e = Expression::Compile(d.expression, fields, &ignored);
      return e ? static_cast<char>(e->type()) : 0;
    };
    image = ReadCdx(bytes, key_type_of, problem);
  } else {
    image = ReadMdx(bytes, problem);
  }
  if (!image) {
    *problem = path + ": " + *problem;
    return nullptr;
  }
  auto index = std::make_unique<Index>(path, *kind, fields, env);
  index->Adopt(std::move(file), writable, *image, bytes.size());
  index->raw_header_ = std::move(image->raw_header);
  index->on_disk_ = true;
  index->wait_ = wait;
  for (auto& t : image->tags) index->AddTag(std::move(t.desc), std::move(t.raw_header), std::move(t.entries));
  return index;
}

std::unique_ptr<ProductionIndex> ProductionIndex::Create(const std::string& path, IndexKind kind,
                                                         const std::vector<TagDescription>& tags,
                                                         const std::vector<FieldInfo>& fields, std::string* problem,
                                                         const std::vector<uint8_t>& file_header, Env* env) {
  std::string why = CheckTags(kind, tags, fields);
  if (!why.empty()) {
    if (problem) *problem = why;
    return nullptr;
  }
  auto index = std::make_unique<Index>(path, kind, fields, env);
  const size_t header_size = kind == IndexKind::kCdx ? 1024 : 544;
  if (file_header.size() == header_size) {
    index->raw_header_ = file_header;
    if (kind == IndexKind::kMdx) {
      // The creation date is the new file's.
      StampMdxDate(index->raw_header_.data() + 1, Env::Or(env).UtcToday());
    }
  }
  for (const auto& t : tags) {
    TagDescription d = t;
    d.name = UpperName(d.name);
    index->AddTag(std::move(d), {}, {});
  }
  index->dirty_ = true;
  index->fresh_ = true;
  if (!index->Flush(problem)) return nullptr;
  return index;
}

}  // namespace xbase::index
