#include "dbf/CodeBase.h"

#include "common/Text.h"

#include "xbase/create.h"
#include "xbase/field_codec.h"
#include "xbase/index/table_adapter.h"
#include "xbase/repair.h"
#include "xbase/report_once.h"
#include "xbase/table.h"

#include <algorithm>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
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

// Hands engine reports to the program's report function.
class ProgramReport final : public xbase::ErrorSink {
 public:
  void Report(const std::string& line) override {
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

// Live arrays, newest last. d4create recognises an array by what it holds,
// not by where it is: a caller's copy of an array describes the same table,
// and an address says nothing once an array is freed. Of several live
// arrays that hold the same (tables alike but for their code page, say),
// the one passed itself counts first, then the newest.
std::mutex g_blocks_mutex;
std::list<std::unique_ptr<FieldInfoBlock>> g_field_blocks;
std::list<std::unique_ptr<TagInfoBlock>> g_tag_blocks;

bool SameText(const char* a, const std::string& b) { return a && b == a; }

// Whether `fields` holds what `block` handed out: the same names, types,
// lengths and decimals, and its end in the same place.
bool Describes(const FIELD4INFO* fields, const FieldInfoBlock& block) {
  const size_t count = block.names.size();
  for (size_t k = 0; k < count; ++k) {
    const FIELD4INFO& a = fields[k];
    const FIELD4INFO& b = block.original[k];
    if (!a.name || !SameText(a.name, block.names[k]) || a.type != b.type || a.len != b.len || a.dec != b.dec)
      return false;
  }
  return fields[count].name == nullptr;
}

bool Describes(const TAG4INFO* tags, const TagInfoBlock& block) {
  const size_t count = block.tags.size();
  for (size_t k = 0; k < count; ++k) {
    const TAG4INFO& t = tags[k];
    const auto& d = block.tags[k];
    if (!t.name || !SameText(t.name, d.name) || !SameText(t.expression ? t.expression : "", d.expression) ||
        !SameText(t.filter ? t.filter : "", d.filter) || (t.unique != 0) != d.unique ||
        (t.descending != 0) != d.descending)
      return false;
  }
  return tags[count].name == nullptr;
}

// The live block that describes `array`: see above.
template <typename Item, typename Block>
const Block* Describing(const Item* array, const std::list<std::unique_ptr<Block>>& blocks) {
  const Block* found = nullptr;
  for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
    if (!Describes(array, **it)) continue;
    if ((*it)->items.data() == array) return it->get();
    if (!found) found = it->get();
  }
  return found;
}

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
  xbase::Table* Get();
  // The production index the table keeps, when it keeps one.
  xbase::index::ProductionIndex* Index();
};

struct CODE4 {
  ProgramReport report;
  // A file retried 21 times in a run is reported damaged once.
  xbase::ReportOnce sink{report};
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

xbase::Table* DATA4::Get() {
  if (!table) table = xbase::OpenRepaired(path, code->Options(), code->index_template);
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
  auto table = xbase::OpenRepaired(path, code->Options(), code->index_template);
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
  g_field_blocks.push_back(std::move(block));
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
  g_tag_blocks.push_back(std::move(block));
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

// The order a program reads in. Nothing here reads in tag order, and
// appends keep every tag whichever is selected: the selection changes
// nothing.
void d4tagSelectP(DbfHandle, TagHandle) {}

void u4freeDefault(void* pointer) {
  if (!pointer) return;
  std::lock_guard<std::mutex> lock(g_blocks_mutex);
  // The array handed out is the one freed: here the address is what counts.
  g_field_blocks.remove_if([&](const auto& block) { return block->items.data() == pointer; });
  g_tag_blocks.remove_if([&](const auto& block) { return block->items.data() == pointer; });
}

namespace {

// The layout d4create writes: the template's, when `fields` is an unchanged
// array from d4fieldInfo; otherwise a dBASE III table of exactly these fields.
xbase::TableLayout LayoutFor(const FIELD4INFO* fields) {
  {
    std::lock_guard<std::mutex> lock(g_blocks_mutex);
    if (const FieldInfoBlock* block = Describing(fields, g_field_blocks)) return block->layout;
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

// The tags d4create gives a new table: exactly the template's, when `tags`
// is an unchanged array from i4tagInfo; otherwise as described, with key
// type and length taken from the expressions.
std::vector<xbase::index::TagDescription> TagsFor(const TAG4INFO* tags, std::vector<uint8_t>* file_header) {
  std::vector<xbase::index::TagDescription> result;
  if (!tags) return result;
  {
    std::lock_guard<std::mutex> lock(g_blocks_mutex);
    if (const TagInfoBlock* block = Describing(tags, g_tag_blocks)) {
      *file_header = block->file_header;
      return block->tags;
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

DbfHandle d4create(CodeHandle code, const char* path, const FIELD4INFO* fields, const TAG4INFO* tags) {
  if (!code || !path || !fields || !fields->name) return nullptr;
  xbase::TableLayout layout = LayoutFor(fields);
  std::vector<uint8_t> file_header;
  const auto tag_list = TagsFor(tags, &file_header);
  if (!xbase::CreateTable(path, std::move(layout), tag_list, file_header, code->safety == 0, code->Options()))
    return nullptr;
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
  return xbase::RebuildProductionIndex(data->table, data->code->index_template, data->code->Options()) ? r4success
                                                                                                       : -1;
}

int d4headerMissing(const char* path) { return path && xbase::HeaderMissing(path) ? 1 : 0; }

long d4salvage(CodeHandle code, const char* path, const char* template_path) {
  if (!code || !path) return xbase::kSalvageFailed;
  return xbase::SalvageHeader(path, template_path ? template_path : "", code->Options());
}

bool d4removeIfEmpty(const char* path) { return path && xbase::RemoveTableIfEmpty(path); }

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
