#include "dbf/CodeBase.h"

#include "xbase/table.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

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

std::mutex g_blocks_mutex;
std::map<const void*, std::unique_ptr<FieldInfoBlock>> g_field_blocks;

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace

struct FIELD4 {
  DATA4* data;
  int index;
};

// A table handle. The table behind it may be closed while the handle lives
// (see d4create); it is opened again on first use.
struct DATA4 {
  CODE4* code;
  std::string path;
  std::unique_ptr<xbase::Table> table;
  std::vector<std::unique_ptr<FIELD4>> fields;  // one per visible field
  xbase::Table* Get();
};

struct CODE4 {
  CodeSink sink;
  int single_open = 1;
  int safety = 1;
  int err_field_name = 1;
  int err_open = 1;
  std::vector<std::unique_ptr<DATA4>> open;

  xbase::TableOptions Options() {
    xbase::TableOptions options;
    options.sink = &sink;
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
  if (!table) table = xbase::Table::Open(path, code->Options());
  return table.get();
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
int code4safety(CodeHandle code, int value) { return code ? Swap(code->safety, value) : -1; }
int code4errFieldName(CodeHandle code, int value) { return code ? Swap(code->err_field_name, value) : -1; }
int code4errOpen(CodeHandle code, int value) { return code ? Swap(code->err_open, value) : -1; }

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
  auto table = xbase::Table::Open(path, code->Options());
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

// Production indexes arrive with the index engine; until then a table has none.
IndexHandle d4index(DbfHandle, const char*) { return nullptr; }
TAG4INFO* i4tagInfo(IndexHandle) { return nullptr; }
TagHandle d4tag(DbfHandle, const char*) { return nullptr; }
void d4tagSelectP(DbfHandle, TagHandle) {}

void u4freeDefault(void* pointer) {
  if (!pointer) return;
  std::lock_guard<std::mutex> lock(g_blocks_mutex);
  g_field_blocks.erase(pointer);
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
    d.name = Upper(f->name);
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

DbfHandle d4create(CodeHandle code, const char* path, const FIELD4INFO* fields, const TAG4INFO* tags) {
  if (!code || !path || !fields || !fields->name) return nullptr;
  if (tags && tags->name)
    code->sink.Report(std::string(path) + ": index tags are not maintained yet; created without an index");
  auto table = xbase::Table::Create(path, LayoutFor(fields), code->safety == 0, code->Options());
  if (!table) return nullptr;
  // The program ignores this handle and opens the file afresh; a run that
  // creates hundreds of files must not hold hundreds of them open until
  // code4close. So the table is closed now and reopened if the handle is used.
  DATA4* data = code->Adopt(std::move(table));
  data->table->Close();
  data->table.reset();
  return data;
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
  return table && text && table->Assign(field->index, text) ? r4success : -1;
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

int d4go(DbfHandle data, long record) {
  xbase::Table* table = data ? data->Get() : nullptr;
  return table && record > 0 && table->Go(static_cast<uint32_t>(record)) ? r4success : -1;
}

long d4recCount(DbfHandle data) {
  xbase::Table* table = data ? data->Get() : nullptr;
  return table ? static_cast<long>(table->record_count()) : -1;
}

std::string f4str(FieldHandle field) {
  xbase::Table* table = TableOf(field);
  return table ? table->Value(field->index) : std::string();
}
