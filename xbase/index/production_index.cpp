#include "xbase/index/production_index.h"

#include "common/Ascii.h"

#include "xbase/index/expression.h"
#include "xbase/index/index_image.h"
#include "xbase/index/key_codec.h"
#include "xbase/os_file.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
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

bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* problem) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    *problem = "can't open " + path;
    return false;
  }
  auto size = static_cast<uint64_t>(in.tellg());
  if (size > kMaxIndexFileSize) {
    *problem = path + " is too large for an index";
    return false;
  }
  bytes->resize(size);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes->data()), static_cast<std::streamsize>(size));
  if (!in) {
    *problem = "can't read " + path;
    return false;
  }
  return true;
}

class Index final : public ProductionIndex {
 public:
  Index(std::string path, IndexKind kind, std::vector<FieldInfo> fields)
      : path_(std::move(path)), kind_(kind), fields_(std::move(fields)) {}

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
    if (on_disk_ && !MergeFromDisk(problem)) return false;
    IndexImage image;
    image.raw_header = raw_header_;
    for (const auto& tag : tags_) {
      TagImage t;
      t.desc = tag->desc;
      t.raw_header = tag->raw_header;
      t.entries.assign(tag->keys.begin(), tag->keys.end());
      image.tags.push_back(std::move(t));
    }
    if (!(on_disk_ && !fresh_ ? WriteBeside(image, problem) : WriteNew(image, problem))) return false;
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

  std::vector<uint8_t> raw_header_;
  bool dirty_ = false;
  bool on_disk_ = false;  // the file holds what was last read or written
  bool fresh_ = false;    // made by Create: nobody else can have it open

 private:
  std::vector<uint8_t> Bytes(const IndexImage& image, uint32_t base) const {
    return kind_ == IndexKind::kCdx ? WriteCdx(image, base) : WriteMdx(image, TableName(path_), base);
  }
  size_t HeaderBytes() const { return kind_ == IndexKind::kCdx ? 1024 : kMdxHeaderBytes; }
  size_t SwitchBytes() const { return kind_ == IndexKind::kCdx ? kCdxSwitchBytes : MdxSwitchBytes(tags_.size()); }

  // A file nobody else can have open yet (see Create).
  bool WriteNew(const IndexImage& image, std::string* problem) {
    auto bytes = Bytes(image, 0);
    std::string why;
    auto file = OsFile::Create(path_, false, &why);
    if (!file || !file->WriteAt(0, bytes.data(), bytes.size()) || !file->Sync()) {
      if (problem) *problem = "can't write " + path_ + (why.empty() ? "" : ": " + why);
      return false;
    }
    raw_header_.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(kind_ == IndexKind::kCdx ? 1024 : 544));
    return true;
  }

  // The file in use: new trees beside the old ones, then the switch (see
  // the contract at the top of production_index.h).
  bool WriteBeside(const IndexImage& image, std::string* problem) {
    std::string why;
    auto file = OsFile::Open(path_, OsFile::Access::kReadWrite, &why);
    auto size = file ? file->Size() : std::nullopt;
    auto fail = [&](const std::string& what) {
      if (problem) *problem = what + " " + path_ + (why.empty() ? "" : ": " + why);
      return false;
    };
    if (!size) return fail("can't open");
    uint32_t base = 0;
    auto bytes = Bytes(image, 0);
    if (bytes.size() > lowest_offset_) {
      // No room below the trees in use: after the end of the file.
      base = static_cast<uint32_t>((*size + kMdxBlockSize - 1) / kMdxBlockSize * kMdxBlockSize);
      bytes = Bytes(image, base);
      if (kind_ == IndexKind::kMdx) {
        // Pages an .mdx writer may allocate start past the new trees.
        uint8_t pages[4];
        const uint32_t end_page = static_cast<uint32_t>((uint64_t{base} + bytes.size()) / 512);
        for (int i = 0; i < 4; ++i) pages[i] = static_cast<uint8_t>(end_page >> (8 * i));
        if (!file->WriteAt(32, pages, 4)) return fail("can't write");
      }
    }
    const size_t head = HeaderBytes();
    if (bytes.size() > head && !file->WriteAt(uint64_t{base} + head, bytes.data() + head, bytes.size() - head))
      return fail("can't write");
    if (!file->Sync() || !file->WriteAt(0, bytes.data(), SwitchBytes()) || !file->Sync()) return fail("can't write");
    // The old trees lay above the new ones: cut them off.
    if (base == 0 && *size > bytes.size()) file->Truncate(bytes.size());
    raw_header_.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(kind_ == IndexKind::kCdx ? 1024 : 544));
    return true;
  }

 public:
  uint64_t lowest_offset_ = 0;  // of the trees in use, as last read

 private:
  // Another program may have appended to the table, and to this index,
  // since we read it: the file as it is now, plus the keys added here,
  // is what gets written, so that neither writer's keys are lost.
  bool MergeFromDisk(std::string* problem) {
    std::vector<uint8_t> bytes;
    std::string why;
    if (!ReadFile(path_, &bytes, &why)) {
      if (problem) *problem = why;
      return false;
    }
    auto key_type_of = [this](const TagDescription& d) -> char {
      for (const auto& t : tags_)
        if (t->desc.name == d.name) return t->desc.key_type;
      return 0;
    };
    auto image = kind_ == IndexKind::kCdx ? ReadCdx(bytes, key_type_of, &why) : ReadMdx(bytes, &why);
    if (!image) {
      if (problem) *problem = path_ + " changed and can't be read again: " + why;
      return false;
    }
    if (image->tags.size() != tags_.size()) {
      if (problem) *problem = path_ + ": another program changed its tags";
      return false;
    }
    for (size_t t = 0; t < tags_.size(); ++t) {
      Tag& tag = *tags_[t];
      TagImage& fresh = image->tags[t];
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
      tag.raw_header = std::move(fresh.raw_header);
    }
    raw_header_ = std::move(image->raw_header);
    lowest_offset_ = image->lowest_offset;
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
                                                       std::string* problem) {
  std::string local;
  if (!problem) problem = &local;
  auto kind = KindOfPath(path);
  if (!kind) {
    *problem = path + " is neither a .cdx nor a .mdx file";
    return nullptr;
  }
  std::vector<uint8_t> bytes;
  if (!ReadFile(path, &bytes, problem)) return nullptr;
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
  auto index = std::make_unique<Index>(path, *kind, fields);
  index->raw_header_ = std::move(image->raw_header);
  index->lowest_offset_ = image->lowest_offset;
  index->on_disk_ = true;
  for (auto& t : image->tags) index->AddTag(std::move(t.desc), std::move(t.raw_header), std::move(t.entries));
  return index;
}

std::unique_ptr<ProductionIndex> ProductionIndex::Create(const std::string& path, IndexKind kind,
                                                         const std::vector<TagDescription>& tags,
                                                         const std::vector<FieldInfo>& fields, std::string* problem,
                                                         const std::vector<uint8_t>& file_header) {
  std::string why = CheckTags(kind, tags, fields);
  if (!why.empty()) {
    if (problem) *problem = why;
    return nullptr;
  }
  auto index = std::make_unique<Index>(path, kind, fields);
  const size_t header_size = kind == IndexKind::kCdx ? 1024 : 544;
  if (file_header.size() == header_size) {
    index->raw_header_ = file_header;
    if (kind == IndexKind::kMdx) {
      // The creation date is the new file's.
      int year = 0, month = 0, day = 0;
      CivilFromJulian(2440588 + static_cast<long>(std::time(nullptr) / 86400), &year, &month, &day);  // 1970-01-01
      index->raw_header_[1] = static_cast<uint8_t>(year - 1900);
      index->raw_header_[2] = static_cast<uint8_t>(month);
      index->raw_header_[3] = static_cast<uint8_t>(day);
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
