#include "dbf/CodeBase.h"

#include "common/Text.h"

#include "xbase/index/table_adapter.h"

#include "xbase/field_codec.h"
#include "xbase/byte_order.h"
#include "xbase/locks.h"
#include "xbase/table.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <optional>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

using tidewell::UpperCase;

namespace {

// The report function, set by whoever owns the log. Function-local so that
// a setter running during static initialisation finds it constructed.
std::mutex& ReportMutex() {
  static std::mutex mutex;
  return mutex;
}
std::function<void(const std::string&)>& ReportFunction() {
  static std::function<void(const std::string&)> report;
  return report;
}

// Hands engine reports to the program's report function, each distinct
// line once per CodeHandle: a file retried 21 times is damaged only once.
class CodeSink final : public xbase::ErrorSink {
 public:
  void Report(const std::string& line) override {
    if (!seen_.insert(line).second) return;
    std::function<void(const std::string&)> report;
    {
      std::lock_guard<std::mutex> lock(ReportMutex());
      report = ReportFunction();
    }
    if (report)
      report(line);
    else
      std::cerr << line << '\n';
  }

 private:
  std::set<std::string> seen_;
};

// Arrays handed to the caller, kept here until u4freeDefault. A field array
// remembers the table layout it came from, so that d4create can make a file
// exactly like the template.
struct FieldInfoBlock {
  std::vector<std::string> names;
  std::vector<FIELD4INFO> items;     // handed out; the caller may change them
  std::vector<FIELD4INFO> original;  // as handed out
  xbase::TableLayout layout;
};

// A tag array remembers the tags it describes, key type, length and header
// bytes included, and the header of the index file they came from.
struct TagInfoBlock {
  std::vector<xbase::index::TagDescription> tags;
  std::vector<uint8_t> file_header;
  std::vector<TAG4INFO> items;
};

std::mutex g_blocks_mutex;
std::map<const void*, std::unique_ptr<FieldInfoBlock>> g_field_blocks;
std::map<const void*, std::unique_ptr<TagInfoBlock>> g_tag_blocks;

}  // namespace

struct FIELD4 {
  DATA4* data;
  int index;
};

// A template's production index, opened for reading its tags.
struct INDEX4 {
  std::unique_ptr<xbase::index::ProductionIndex> index;
};

struct TAG4 {
  size_t number;
};

// A table handle. The table behind it may be closed while the handle lives
// (see d4create); it is opened again on first use.
struct DATA4 {
  CODE4* code;
  std::string path;
  std::unique_ptr<xbase::Table> table;
  std::vector<std::unique_ptr<FIELD4>> fields;  // one per visible field
  std::unique_ptr<INDEX4> index_info;           // from d4index
  std::vector<std::unique_ptr<TAG4>> tags;      // from d4tag
  TAG4* selected = nullptr;
  xbase::Table* Get();
  // The production index the table keeps, when it keeps one.
  xbase::index::ProductionIndex* Index();
};

struct CODE4 {
  CodeSink sink;
  int single_open = 1;
  int read_only = 0;
  int safety = 1;
  int err_field_name = 1;
  int err_open = 1;
  std::string index_template;
  std::function<bool()> cancelled;
  xbase::Env* env = nullptr;
  std::vector<std::unique_ptr<DATA4>> open;

  xbase::TableOptions Options() {
    xbase::TableOptions options;
    options.sink = &sink;
    options.env = env;
    options.cancelled = cancelled;
    options.read_only = read_only != 0;
    return options;
  }
  DATA4* Adopt(std::unique_ptr<xbase::Table> table) {
    auto data = std::make_unique<DATA4>();
    data->code = this;
    data->path = table->path();
    for (int i : table->visible_fields()) data->fields.push_back(std::make_unique<FIELD4>(FIELD4{data.get(), i}));
    data->table = std::move(table);
    open.push_back(std::move(data));
    return open.back().get();
  }
};

namespace {

namespace ix = xbase::index;

// The tags (with their header bytes) and file header of a table's
// production index, read from the index file; false when it can't be read.
bool TagsOfIndex(const std::string& table_path, std::vector<ix::TagDescription>* tags,
                 std::vector<uint8_t>* file_header) {
  xbase::TableOptions options;
  options.read_only = true;
  auto table = xbase::Table::Open(table_path, options);
  const auto path = table ? ix::FindProductionIndex(table_path, table->header()) : std::nullopt;
  std::string problem;
  auto index = path ? ix::ProductionIndex::Open(*path, ix::FieldsOf(table->header()), &problem) : nullptr;
  if (!index) return false;
  *tags = index->tags();
  *file_header = index->file_header();
  return true;
}

std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const size_t slash = path.find_last_of(xbase::kPathSeparators);
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// The folder in which the parts of `path` are made before they are moved
// into place: beside it, so that the moves stay on one volume.
std::string WorkFolder(const std::string& path) {
  auto [dir, name] = SplitPath(path);
  return dir + "." + name + ".new";
}
std::string InWorkFolder(const std::string& path) {
  auto [dir, name] = SplitPath(path);
  const char separator = dir.empty() ? '/' : dir.back();
  return WorkFolder(path) + separator + name;
}

// Puts `bytes` over the file at `path` in place: for an index that could
// not be replaced because another program holds it (Windows). The file
// was damaged or missing keys already; what is written is whole.
bool OverwriteInPlace(const std::string& from, const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string error;
  auto source = xbase::OsFile::Open(from, xbase::OsFile::Access::kReadOnly, &error);
  auto size = source ? source->Size() : std::nullopt;
  if (!size) return false;
  bytes.resize(static_cast<size_t>(*size));
  auto target = xbase::OsFile::Open(path, xbase::OsFile::Access::kReadWrite, &error);
  return source->ReadAt(0, bytes.data(), bytes.size()) && target && target->WriteAt(0, bytes.data(), bytes.size()) &&
         target->Truncate(bytes.size()) && target->Sync();
}

// Builds the production index of `table` anew from its records, beside the
// old one, and puts it in place; returns it opened, or null (reported).
std::unique_ptr<ix::ProductionIndex> RebuildIndex(xbase::Table& table, const std::vector<ix::TagDescription>& tags,
                                                  const std::vector<uint8_t>& file_header, CodeSink& sink,
                                                  const std::string& why) {
  const auto fields = ix::FieldsOf(table.header());
  const std::string final_path =
      xbase::FindCompanionFile(table.path(), ix::ProductionIndexKind(table.header()) == ix::IndexKind::kCdx ? ".cdx" : ".mdx")
          .value_or(ix::ProductionIndexName(table.path(), table.header()));
  const std::string folder = WorkFolder(final_path), work_path = InWorkFolder(final_path);
  std::string problem;
  bool ok = xbase::RemoveFolder(folder) && xbase::MakeFolder(folder);
  if (ok) {
    auto index = ix::ProductionIndex::Create(work_path, ix::ProductionIndexKind(table.header()), tags, fields, &problem,
                                             file_header);
    ok = index != nullptr;
    for (uint32_t r = 1; ok && r <= table.record_count(); ++r)
      ok = table.Go(r) && index->AddRecord(r, table.record_bytes(), &problem);
    ok = ok && index->Flush(&problem);
  }
  ok = ok && (xbase::MoveFileOver(work_path, final_path) || OverwriteInPlace(work_path, final_path));
  xbase::RemoveFolder(folder);
  auto rebuilt = ok ? ix::ProductionIndex::Open(final_path, fields, &problem) : nullptr;
  if (!rebuilt) {
    sink.Report(final_path + ": production index " + why + " and could not be rebuilt: " +
                (problem.empty() ? "cannot write it" : problem));
    return nullptr;
  }
  sink.Report(final_path + ": production index " + why + "; rebuilt from the table's " +
              std::to_string(table.record_count()) + " records");
  return rebuilt;
}

// A name beside `path` no file has yet: path + suffix, then suffix2, ...
std::string FreeNameBeside(const std::string& path, const std::string& suffix) {
  std::string name = path + suffix;
  for (int n = 2; xbase::FileExists(name); ++n) name = path + suffix + std::to_string(n);
  return name;
}

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  auto file = xbase::OsFile::Create(path, true, error);
  return file && file->WriteAt(0, bytes.data(), bytes.size()) && file->Sync();
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// A header that counts more records than the file holds (cut inside a
// record, a count raised by another program) leaves the table unopenable,
// and every run would stop at it. The count becomes what the file holds;
// the bytes of the torn record after the last whole one are kept in a file
// of their own beside it, and the end-of-file byte follows the last record.
// Done under the header lock, so that a writer of another program that
// appends under it is waited for. True when something was repaired.
bool RepairCountBeyondFile(const std::string& path, CODE4& code) {
  std::string error;
  auto file = xbase::OsFile::Open(path, xbase::OsFile::Access::kReadWrite, &error);
  uint8_t fixed[xbase::kTableHeaderSize];
  if (!file || !file->ReadAt(0, fixed, sizeof fixed)) return false;
  const uint32_t header_length = fixed[8] | (fixed[9] << 8), record_length = fixed[10] | (fixed[11] << 8);
  if (header_length <= xbase::kTableHeaderSize || record_length == 0) return false;
  const auto before = file->Size();
  if (!before || *before < header_length || Le32(fixed + 4) <= (*before - header_length) / record_length) return false;
  const auto options = code.Options();
  if (!file->Lock(0, header_length, true, options.lock_timeout_ms, options.cancelled)) return false;
  bool repaired = false;
  auto size = file->Size();
  uint8_t count_bytes[4];
  if (size && *size >= header_length && file->ReadAt(4, count_bytes, 4)) {
    const uint32_t count = Le32(count_bytes);
    const uint64_t held = (*size - header_length) / record_length;
    if (uint64_t{count} > held) {
      const uint64_t end = header_length + held * record_length;
      std::vector<uint8_t> torn(static_cast<size_t>(*size - end));
      std::string aside;
      bool ok = file->ReadAt(end, torn.data(), torn.size());
      if (ok && !torn.empty() && !(torn.size() == 1 && torn[0] == xbase::kEndOfFile)) {
        aside = FreeNameBeside(path, ".torn");
        ok = WriteWholeFile(aside, torn, &error);
      }
      uint8_t held_bytes[4] = {static_cast<uint8_t>(held), static_cast<uint8_t>(held >> 8),
                               static_cast<uint8_t>(held >> 16), static_cast<uint8_t>(held >> 24)};
      const uint8_t eof = xbase::kEndOfFile;
      ok = ok && file->WriteAt(4, held_bytes, 4) && file->Truncate(end + 1) && file->WriteAt(end, &eof, 1) &&
           file->Sync();
      if (ok)
        code.sink.Report(path + ": header counted " + std::to_string(count) + " records, the file holds " +
                         std::to_string(held) + "; count set to " + std::to_string(held) +
                         (aside.empty() ? std::string() : ", the torn record's " + std::to_string(torn.size()) +
                                                               " bytes kept in " + aside));
      else
        code.sink.Report(path + ": header counts " + std::to_string(count) + " records, the file holds " +
                         std::to_string(held) + ", and the count can't be repaired" +
                         (error.empty() ? std::string() : ": " + error));
      repaired = ok;
    }
  }
  file->Unlock(0, header_length);
  return repaired;
}

// Opens a table with its production index, kept up to date on every append
// when the engine can keep all of its tags. An index behind the table (a
// writer that died before writing it) gets the missing keys at once; one
// that is missing, damaged or ahead of the table is rebuilt from it.
std::unique_ptr<xbase::Table> OpenTable(const std::string& path, CODE4& code) {
  CodeSink& sink = code.sink;
  if (!code.read_only) RepairCountBeyondFile(path, code);
  auto table = xbase::Table::Open(path, code.Options());
  if (!table || code.read_only) return table;
  // A creation killed after its .dbf was moved in leaves its empty folder.
  xbase::RemoveFolder(WorkFolder(path));
  if ((table->header().table_flags & 0x01) == 0) return table;
  const auto index_path = ix::FindProductionIndex(path, table->header());
  std::string problem;
  const ix::IndexLockWait wait{xbase::TableOptions{}.lock_timeout_ms, code.cancelled};
  auto index =
      index_path ? ix::ProductionIndex::Open(*index_path, ix::FieldsOf(table->header()), &problem, wait, code.env)
                 : nullptr;
  std::string broken = !index_path ? "missing" : !index ? "damaged (" + problem + ")" : "";
  // The highest record any tag holds, and the lowest of each tag's highest:
  // a writer killed between two tag switches leaves some tags behind others.
  uint32_t indexed_through = 0;
  std::optional<uint32_t> every_tag_through;
  if (index) {
    if (const std::string why = index->Unmaintainable(); !why.empty()) {
      sink.Report(*index_path + ": production index not kept up to date: " + why);
      return table;
    }
    for (size_t t = 0; t < index->tags().size(); ++t) {
      uint32_t through = 0;
      index->Walk(t, [&](std::string_view, uint32_t record) {
        through = std::max(through, record);
        return true;
      });
      indexed_through = std::max(indexed_through, through);
      // A tag with a FOR condition may leave out the last records rightly.
      if (index->tags()[t].filter.empty())
        every_tag_through = std::min(every_tag_through.value_or(through), through);
    }
    if (indexed_through > table->record_count())
      broken = "ahead of the table (a key for record " + std::to_string(indexed_through) + ")";
  }
  if (!broken.empty()) {
    std::vector<ix::TagDescription> tags;
    std::vector<uint8_t> file_header;
    if (code.index_template.empty() || !TagsOfIndex(code.index_template, &tags, &file_header)) {
      sink.Report((index_path ? *index_path : path) + ": production index not kept up to date: " + broken +
                  (code.index_template.empty() ? "" : "; the template " + code.index_template + " gives no tags"));
      return table;
    }
    index = RebuildIndex(*table, tags, file_header, sink, broken);
    if (index) table->AddIndex(std::make_unique<ix::TableIndex>(std::move(index)));
    return table;
  }
  // Keys a record has already are not added twice, so the records after the
  // tag that is furthest behind are given to every tag.
  const uint32_t from = std::min(indexed_through, every_tag_through.value_or(indexed_through)) + 1;
  size_t keys_before = 0, keys_after = 0;
  for (size_t t = 0; t < index->tags().size(); ++t) keys_before += index->KeyCount(t);
  for (uint32_t r = from; r <= table->record_count(); ++r) {
    if (!table->Go(r) || !index->AddRecord(r, table->record_bytes(), &problem)) {
      sink.Report(*index_path + ": record " + std::to_string(r) + " could not be added to the index: " + problem);
      return table;
    }
  }
  for (size_t t = 0; t < index->tags().size(); ++t) keys_after += index->KeyCount(t);
  if (keys_after != keys_before) {
    if (!index->Flush(&problem)) sink.Report(*index_path + ": " + problem);
    sink.Report(*index_path + ": records " + std::to_string(from) + " to " + std::to_string(table->record_count()) +
                " were missing from the index and have been added");
  }
  table->AddIndex(std::make_unique<ix::TableIndex>(std::move(index)));
  return table;
}

}  // namespace

xbase::Table* DATA4::Get() {
  if (!table) table = OpenTable(path, *code);
  if (table && fields.empty())
    for (int i : table->visible_fields()) fields.push_back(std::make_unique<FIELD4>(FIELD4{this, i}));
  return table.get();
}

xbase::index::ProductionIndex* DATA4::Index() {
  xbase::Table* t = Get();
  auto* kept = t ? dynamic_cast<xbase::index::TableIndex*>(t->index(0)) : nullptr;
  return kept ? &kept->index() : nullptr;
}

void code4setReport(std::function<void(const std::string&)> report) {
  std::lock_guard<std::mutex> lock(ReportMutex());
  ReportFunction() = std::move(report);
}

CodeHandle code4initP() { return new CODE4(); }

int code4initUndoP(CodeHandle code) {
  if (!code) return -1;
  code4close(code);
  delete code;
  return r4success;
}

namespace {
int Swap(int& setting, int value) {
  int previous = setting;
  setting = value;
  return previous;
}
}  // namespace

int code4singleOpen(CodeHandle code, int value) { return code ? Swap(code->single_open, value) : -1; }
int code4readOnly(CodeHandle code, int value) { return code ? Swap(code->read_only, value) : -1; }
int code4safety(CodeHandle code, int value) { return code ? Swap(code->safety, value) : -1; }
int code4errFieldName(CodeHandle code, int value) { return code ? Swap(code->err_field_name, value) : -1; }
int code4errOpen(CodeHandle code, int value) { return code ? Swap(code->err_open, value) : -1; }

void code4indexTemplate(CodeHandle code, const char* template_path) {
  if (code) code->index_template = template_path ? template_path : "";
}

void code4setCancel(CodeHandle code, std::function<bool()> cancelled) {
  if (code) code->cancelled = std::move(cancelled);
}

int code4cancelled(CodeHandle code) { return code && code->cancelled && code->cancelled() ? 1 : 0; }

void code4setEnv(CodeHandle code, xbase::Env* env) {
  if (code) code->env = env;
}

int code4close(CodeHandle code) {
  if (!code) return -1;
  int result = r4success;
  // Closing flushes each table; the handles go with it.
  for (auto& data : code->open)
    if (data->table && !data->table->Close()) result = -1;
  code->open.clear();
  return result;
}

DbfHandle d4open(CodeHandle code, const char* path) {
  if (!code || !path) return nullptr;
  if (code->single_open) {
    for (auto& data : code->open) {
      if (data->table && data->path == path) {
        if (code->err_open) code->sink.Report(std::string(path) + ": already open");
        return nullptr;
      }
    }
  }
  auto table = OpenTable(path, *code);
  if (!table) {
    if (code->err_open) code->sink.Report(std::string(path) + ": cannot open");
    return nullptr;
  }
  return code->Adopt(std::move(table));
}

FIELD4INFO* d4fieldInfo(DbfHandle data) {
  xbase::Table* table = data ? data->Get() : nullptr;
  if (!table) return nullptr;
  auto block = std::make_unique<FieldInfoBlock>();
  block->layout = table->Layout();
  for (int i : table->visible_fields()) block->names.push_back(table->field(i).name);
  for (size_t k = 0; k < block->names.size(); ++k) {
    const auto& f = table->field(table->visible_fields()[k]);
    block->items.push_back(FIELD4INFO{block->names[k].c_str(), static_cast<int16_t>(f.type), f.length, f.decimals,
                                      static_cast<uint16_t>((f.flags & 0x02) ? 1 : 0)});
  }
  block->items.push_back(FIELD4INFO{nullptr, 0, 0, 0, 0});
  block->original = block->items;
  FIELD4INFO* result = block->items.data();
  std::lock_guard<std::mutex> lock(g_blocks_mutex);
  g_field_blocks[result] = std::move(block);
  return result;
}

// The production index of a table, for its tags (a null name selects it;
// a named index other than the production one is not supported).
IndexHandle d4index(DbfHandle data, const char* name) {
  xbase::Table* table = data ? data->Get() : nullptr;
  if (!table) return nullptr;
  const auto path = xbase::index::FindProductionIndex(table->path(), table->header());
  if (!path) return nullptr;
  // A name, when given, must name the production index (with or without its extension).
  if (name && *name) {
    const std::string stem = UpperCase(path->substr(0, path->rfind('.')));
    const std::string wanted = UpperCase(name);
    if (wanted != UpperCase(*path) && wanted != stem && UpperCase(table->path().substr(0, table->path().rfind('/') + 1)) + wanted != stem)
      return nullptr;
  }
  std::string problem;
  auto index = xbase::index::ProductionIndex::Open(*path, xbase::index::FieldsOf(table->header()), &problem);
  if (!index) {
    data->code->sink.Report(*path + ": production index unreadable: " + problem);
    return nullptr;
  }
  data->index_info = std::make_unique<INDEX4>(INDEX4{std::move(index)});
  return data->index_info.get();
}

TAG4INFO* i4tagInfo(IndexHandle index) {
  if (!index || !index->index) return nullptr;
  auto block = std::make_unique<TagInfoBlock>();
  block->tags = index->index->tags();
  block->file_header = index->index->file_header();
  for (const auto& t : block->tags)
    block->items.push_back(TAG4INFO{t.name.c_str(), t.expression.c_str(), t.filter.c_str(),
                                    static_cast<int16_t>(t.unique ? 1 : 0), static_cast<uint16_t>(t.descending ? 1 : 0)});
  block->items.push_back(TAG4INFO{nullptr, nullptr, nullptr, 0, 0});
  TAG4INFO* result = block->items.data();
  std::lock_guard<std::mutex> lock(g_blocks_mutex);
  g_tag_blocks[result] = std::move(block);
  return result;
}

TagHandle d4tag(DbfHandle data, const char* name) {
  xbase::index::ProductionIndex* index = data && name ? data->Index() : nullptr;
  if (!index) return nullptr;
  for (size_t t = 0; t < index->tags().size(); ++t) {
    if (UpperCase(index->tags()[t].name) != UpperCase(name)) continue;
    data->tags.push_back(std::make_unique<TAG4>(TAG4{t}));
    return data->tags.back().get();
  }
  return nullptr;
}

// The order a program reads in; appends keep every tag whichever is selected.
void d4tagSelectP(DbfHandle data, TagHandle tag) {
  if (data) data->selected = tag;
}

void u4freeDefault(void* pointer) {
  if (!pointer) return;
  std::lock_guard<std::mutex> lock(g_blocks_mutex);
  g_field_blocks.erase(pointer);
  g_tag_blocks.erase(pointer);
}

namespace {

// The layout d4create writes: the template's, when `fields` is an unchanged
// array from d4fieldInfo; otherwise a dBASE III table of exactly these fields.
xbase::TableLayout LayoutFor(const FIELD4INFO* fields) {
  {
    std::lock_guard<std::mutex> lock(g_blocks_mutex);
    auto it = g_field_blocks.find(fields);
    if (it != g_field_blocks.end()) {
      const FieldInfoBlock& block = *it->second;
      bool same = true;
      for (size_t k = 0; k + 1 < block.original.size() && same; ++k) {
        const FIELD4INFO& a = fields[k];
        const FIELD4INFO& b = block.original[k];
        same = a.name && a.name == b.name && a.type == b.type && a.len == b.len && a.dec == b.dec;
      }
      if (same && fields[block.items.size() - 1].name == nullptr) return block.layout;
    }
  }
  xbase::TableLayout layout;
  layout.header.version = 0x03;
  for (const FIELD4INFO* f = fields; f->name; ++f) {
    xbase::FieldDescriptor d;
    d.name = UpperCase(f->name);
    d.type = static_cast<char>(f->type);
    d.length = static_cast<uint8_t>(f->len);
    d.decimals = static_cast<uint8_t>(f->dec);
    if (d.type == 'D') d.length = 8;
    if (d.type == 'L') d.length = 1;
    if (d.IsMemo()) {
      d.length = 10;
      layout.header.version = 0x83;
    }
    layout.header.fields.push_back(d);
  }
  return layout;
}

}  // namespace

namespace {

// The tags d4create gives a new table: exactly the template's, when `tags`
// is an unchanged array from i4tagInfo; otherwise as described, with key
// type and length taken from the expressions.
std::vector<xbase::index::TagDescription> TagsFor(const TAG4INFO* tags, std::vector<uint8_t>* file_header) {
  std::vector<xbase::index::TagDescription> result;
  if (!tags) return result;
  {
    std::lock_guard<std::mutex> lock(g_blocks_mutex);
    auto it = g_tag_blocks.find(tags);
    if (it != g_tag_blocks.end()) {
      const TagInfoBlock& block = *it->second;
      bool same = true;
      for (size_t k = 0; k < block.tags.size() && same; ++k)
        same = tags[k].name && tags[k].name == block.tags[k].name && tags[k].expression &&
               block.tags[k].expression == tags[k].expression;
      if (same && !tags[block.tags.size()].name) {
        *file_header = block.file_header;
        return block.tags;
      }
    }
  }
  for (const TAG4INFO* t = tags; t->name; ++t) {
    xbase::index::TagDescription d;
    d.name = UpperCase(t->name);
    d.expression = t->expression ? t->expression : "";
    d.filter = t->filter ? t->filter : "";
    d.unique = t->unique != 0;
    d.descending = t->descending != 0;
    result.push_back(std::move(d));
  }
  return result;
}

}  // namespace

namespace {

// Moves the made parts of a new table into place, the .dbf last: until it
// arrives, no program opens the table, and once it is there its memo file
// and index are there too.
bool MoveIntoPlace(const std::string& work_path, const std::string& path) {
  for (const char* ext : {".dbt", ".fpt", ".cdx", ".mdx"}) {
    const std::string part = xbase::CompanionName(work_path, ext);
    if (xbase::FileExists(part) && !xbase::MoveFileOver(part, xbase::CompanionName(path, ext))) return false;
  }
  return xbase::MoveFileOver(work_path, path);
}

}  // namespace

DbfHandle d4create(CodeHandle code, const char* path, const FIELD4INFO* fields, const TAG4INFO* tags) {
  if (!code || !path || !fields || !fields->name) return nullptr;
  xbase::TableLayout layout = LayoutFor(fields);
  std::vector<uint8_t> file_header;
  const auto tag_list = TagsFor(tags, &file_header);
  const ix::IndexKind kind = ix::ProductionIndexKind(layout.header);
  std::string unusable;
  if (!tag_list.empty()) unusable = ix::ProductionIndex::CheckTags(kind, tag_list, ix::FieldsOf(layout.header));
  if (!unusable.empty())
    code->sink.Report(std::string(path) + ": created without a production index: " + unusable);
  if (code->safety != 0 && xbase::FileExists(path)) {
    code->sink.Report(std::string(path) + ": exists already");
    return nullptr;
  }
  const std::string folder = WorkFolder(path), work_path = InWorkFolder(path);
  if (!xbase::RemoveFolder(folder) || !xbase::MakeFolder(folder)) {
    code->sink.Report(std::string(path) + ": cannot make the folder " + folder + " to create it in");
    return nullptr;
  }
  layout.indexed = !tag_list.empty() && unusable.empty();
  if (layout.indexed) layout.header.table_flags |= 0x01;
  auto table = xbase::Table::Create(work_path, layout, true, code->Options());
  bool ok = table != nullptr;
  if (ok && layout.indexed) {
    std::string problem;
    auto index = ix::ProductionIndex::Create(ix::ProductionIndexName(work_path, table->header()), kind, tag_list,
                                             ix::FieldsOf(table->header()), &problem, file_header);
    if (!index) {
      code->sink.Report(std::string(path) + ": created without a production index: " + problem);
      ok = table->SetTableFlags(static_cast<uint8_t>(table->header().table_flags & ~0x01));
    }
  }
  if (table) ok = table->Close() && ok;
  table.reset();
  if (ok && !MoveIntoPlace(work_path, path)) {
    code->sink.Report(std::string(path) + ": cannot move the new file into place");
    ok = false;
  }
  xbase::RemoveFolder(folder);
  if (!ok) return nullptr;
  // The program ignores this handle and opens the file afresh; a run that
  // creates hundreds of files must not hold hundreds of them open until
  // code4close. So the table is opened again only if the handle is used.
  auto data = std::make_unique<DATA4>();
  data->code = code;
  data->path = path;
  code->open.push_back(std::move(data));
  return code->open.back().get();
}

int d4appendBlank(DbfHandle data) {
  xbase::Table* table = data ? data->Get() : nullptr;
  return table && table->AppendBlank() ? r4success : -1;
}

FieldHandle d4field(DbfHandle data, const char* name) {
  xbase::Table* table = data && name ? data->Get() : nullptr;
  if (!table) return nullptr;
  int index = table->FindField(name);
  for (auto& f : data->fields)
    if (f->index == index) return f.get();
  if (data->code->err_field_name) data->code->sink.Report(data->path + ": no field " + name);
  return nullptr;
}

namespace {
xbase::Table* TableOf(FieldHandle field) { return field ? field->data->Get() : nullptr; }
}  // namespace

int f4type(FieldHandle field) {
  xbase::Table* table = TableOf(field);
  return table ? static_cast<unsigned char>(table->field(field->index).type) : 0;
}

int f4assign(FieldHandle field, const char* text) {
  xbase::Table* table = TableOf(field);
  if (!table || !text) return -1;
  if (table->Assign(field->index, text)) return r4success;
  // Why it failed, from the value alone (a number's text is the same in
  // every code page): encoded again into a scratch record.
  const xbase::FieldDescriptor& f = table->field(field->index);
  if (f.IsMemo()) return -1;
  std::vector<uint8_t> scratch(f.offset + f.length + 1, 0);
  return xbase::EncodeField(f, text, scratch.data(), nullptr) == xbase::EncodeResult::kOverflow ? r4overflow : -1;
}

int f4memoAssign(FieldHandle field, const char* text) {
  xbase::Table* table = TableOf(field);
  return table && text && table->AssignMemo(field->index, text) ? r4success : -1;
}

long d4recNo(DbfHandle data) {
  xbase::Table* table = data ? data->Get() : nullptr;
  return table ? static_cast<long>(table->record_number()) : -1;
}

int d4close(DbfHandle data) {
  if (!data) return -1;
  CODE4* code = data->code;
  bool ok = !data->table || data->table->Close();
  auto it = std::find_if(code->open.begin(), code->open.end(), [&](auto& d) { return d.get() == data; });
  if (it != code->open.end()) code->open.erase(it);
  return ok ? r4success : -1;
}

int d4flush(DbfHandle data) {
  xbase::Table* table = data ? data->Get() : nullptr;
  return table && table->Flush() ? r4success : -1;
}

unsigned d4writeFailures(DbfHandle data) {
  xbase::Table* table = data ? data->Get() : nullptr;
  return table ? table->failed_writes() : 0;
}

int d4reindex(DbfHandle data) {
  xbase::Table* table = data ? data->Get() : nullptr;
  if (!table || !table->Flush()) return -1;
  std::vector<ix::TagDescription> tags;
  std::vector<uint8_t> file_header;
  if (!TagsOfIndex(table->path(), &tags, &file_header) &&
      (data->code->index_template.empty() || !TagsOfIndex(data->code->index_template, &tags, &file_header))) {
    data->code->sink.Report(data->path + ": no index tags to rebuild the production index with");
    return -1;
  }
  // The table is opened again without its index, so that the old one is
  // not written over the new one when the table closes.
  const std::string path = data->path;
  data->table->Close();
  data->table.reset();
  auto bare = xbase::Table::Open(path, data->code->Options());
  if (!bare) return -1;
  auto index = RebuildIndex(*bare, tags, file_header, data->code->sink, "rebuilt on request");
  if (!index) return -1;
  if ((bare->header().table_flags & 0x01) == 0) bare->SetTableFlags(static_cast<uint8_t>(bare->header().table_flags | 0x01));
  bare->AddIndex(std::make_unique<ix::TableIndex>(std::move(index)));
  data->table = std::move(bare);
  return r4success;
}

int d4headerMissing(const char* path) {
  std::string error;
  auto file = path ? xbase::OsFile::Open(path, xbase::OsFile::Access::kReadOnly, &error) : nullptr;
  auto size = file ? file->Size() : std::nullopt;
  if (!size) return 0;
  uint8_t fixed[xbase::kTableHeaderSize];
  if (*size < sizeof fixed || !file->ReadAt(0, fixed, sizeof fixed)) return 1;
  // Too short for the header it announces: cut inside the header.
  const uint64_t header_length = fixed[8] | (fixed[9] << 8);
  return header_length > xbase::kTableHeaderSize && *size < header_length ? 1 : 0;
}

long d4salvage(CodeHandle code, const char* path_text, const char* template_text) {
  if (!code || !path_text) return -2;
  const std::string path = path_text, model = template_text ? template_text : "";
  std::string error;
  std::vector<uint8_t> old;
  {
    auto file = xbase::OsFile::Open(path, xbase::OsFile::Access::kReadOnly, &error);
    if (!file) return xbase::FileExists(path) ? -2 : -1;
    auto size = file->Size();
    if (!size) return -2;
    if (*size == 0) return -1;  // nothing in it to keep
    old.resize(static_cast<size_t>(*size));
    if (!file->ReadAt(0, old.data(), old.size())) return -2;
  }
  // The template's header, as its file holds it.
  std::vector<uint8_t> header;
  uint32_t record_length = 0;
  {
    xbase::TableOptions options;
    options.read_only = true;
    auto tmpl = model.empty() ? nullptr : xbase::Table::Open(model, options);
    auto raw = tmpl ? xbase::OsFile::Open(model, xbase::OsFile::Access::kReadOnly, &error) : nullptr;
    if (raw) {
      header.resize(tmpl->header().header_length);
      record_length = tmpl->header().record_length;
      if (!raw->ReadAt(0, header.data(), header.size())) header.clear();
    }
  }
  if (header.size() <= xbase::kTableHeaderSize || record_length == 0) {
    code->sink.Report(path + ": holds no complete table header, and no template to salvage it with" +
                      (model.empty() ? std::string() : " (" + model + " does not open)") + "; left as it is");
    return -2;
  }
  const std::string aside = FreeNameBeside(path, ".damaged");
  // The field descriptors, up to their terminator: the same bytes mean the
  // same layout, so the records are where the template's layout puts them.
  size_t end = xbase::kTableHeaderSize;
  while (end < header.size() && header[end] != 0x0D) end += 32;
  const bool same = end < header.size() && old.size() >= header.size() &&
                    std::equal(header.begin() + xbase::kTableHeaderSize, header.begin() + static_cast<long>(end + 1),
                               old.begin() + xbase::kTableHeaderSize);
  if (!same) {
    // Not this table: kept whole, with its memo and index, for whoever
    // looks; the file is made again.
    bool ok = xbase::MoveFileOver(path, aside);
    for (const char* ext : {".fpt", ".dbt", ".cdx", ".mdx"})
      if (const auto part = xbase::FindCompanionFile(path, ext); ok && part)
        xbase::MoveFileOver(*part, FreeNameBeside(*part, ".damaged"));
    code->sink.Report(path + ": holds no table laid out like " + model + " (" + std::to_string(old.size()) +
                      " bytes)" + (ok ? "; kept whole as " + aside + ", to be made again from the template"
                                      : "; can't be moved aside, left as it is"));
    return ok ? -1 : -2;
  }
  if (!WriteWholeFile(aside, old, &error)) {
    code->sink.Report(path + ": holds no complete table header and can't be kept aside (" + error +
                      "); left as it is");
    return -2;
  }
  const uint64_t held = (old.size() - header.size()) / record_length;
  const size_t records_end = header.size() + static_cast<size_t>(held) * record_length;
  std::vector<uint8_t> torn(old.begin() + static_cast<long>(records_end), old.end());
  std::string torn_aside;
  if (!torn.empty() && !(torn.size() == 1 && torn[0] == xbase::kEndOfFile)) {
    torn_aside = FreeNameBeside(path, ".torn");
    if (!WriteWholeFile(torn_aside, torn, &error)) torn_aside.clear();
  }
  std::vector<uint8_t> mended = header;
  for (int i = 0; i < 4; ++i) mended[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(held >> (8 * i));
  // The date of the last update, when the damaged one still reads as one.
  if (old[2] >= 1 && old[2] <= 12 && old[3] >= 1 && old[3] <= 31) std::copy(old.begin() + 1, old.begin() + 4, mended.begin() + 1);
  mended.insert(mended.end(), old.begin() + static_cast<long>(header.size()), old.begin() + static_cast<long>(records_end));
  mended.push_back(xbase::kEndOfFile);
  const std::string work = FreeNameBeside(path, ".salvage");
  if (!WriteWholeFile(work, mended, &error) || !xbase::MoveFileOver(work, path)) {
    xbase::RemoveFile(work);
    code->sink.Report(path + ": holds no complete table header; kept whole as " + aside +
                      ", but can't be salvaged (" + error + "); left as it is");
    return -2;
  }
  code->sink.Report(path + ": holds no complete table header; kept whole as " + aside + ", salvaged with " +
                    std::to_string(held) + " records where the layout of " + model + " puts them" +
                    (torn_aside.empty() ? std::string() : " (a torn record's " + std::to_string(torn.size()) +
                                                              " bytes kept in " + torn_aside + ")"));
  return static_cast<long>(held);
}

bool d4removeIfEmpty(const char* path) {
  std::string error;
  auto file = path ? xbase::OsFile::Open(path, xbase::OsFile::Access::kReadWrite, &error) : nullptr;
  auto size = file ? file->Size() : std::nullopt;
  uint8_t fixed[xbase::kTableHeaderSize];
  if (!size || *size < sizeof fixed || !file->ReadAt(0, fixed, sizeof fixed)) return false;
  // Checked and removed under the append lock of the table's flavour, so
  // that another program's first record can't come in between.
  xbase::TableHeader probe;
  probe.version = fixed[0];
  const auto lock = xbase::LockScheme::ForTable(probe.FlavorOfVersion(),
                                                (fixed[28] & 0x01) && xbase::FindCompanionFile(path, ".cdx"))
                        .Header();
  if (!file->Lock(lock.offset, lock.length, true, 0)) return false;
  size = file->Size();
  uint8_t count[4];
  const uint64_t header_length = fixed[8] | (fixed[9] << 8);
  bool empty = size && file->ReadAt(4, count, 4) && xbase::GetLe32(count) == 0 &&
               (*size == header_length || *size == header_length + 1);
  std::vector<std::string> parts;
  if (empty)
    for (const char* ext : {".fpt", ".dbt", ".cdx", ".mdx"})
      if (auto part = xbase::FindCompanionFile(path, ext)) parts.push_back(*part);
  empty = empty && xbase::RemoveFile(path);
  file->Unlock(lock.offset, lock.length);
  for (const auto& part : parts) xbase::RemoveFile(part);
  return empty;
}

int d4appendUndo(DbfHandle data) {
  xbase::Table* table = data ? data->Get() : nullptr;
  return table && table->UndoAppend() ? r4success : -1;
}

int d4go(DbfHandle data, long record) {
  xbase::Table* table = data ? data->Get() : nullptr;
  return table && record > 0 && table->Go(static_cast<uint32_t>(record)) ? r4success : -1;
}

int d4deleted(DbfHandle data) {
  xbase::Table* table = data ? data->Get() : nullptr;
  return table && table->deleted() ? 1 : 0;
}

long d4recCount(DbfHandle data) {
  xbase::Table* table = data ? data->Get() : nullptr;
  return table ? static_cast<long>(table->record_count()) : -1;
}

std::string f4str(FieldHandle field) {
  xbase::Table* table = TableOf(field);
  return table ? table->Value(field->index) : std::string();
}
