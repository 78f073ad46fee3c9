// Opens a table and its memo file made of arbitrary bytes, reads every field
// of the first records and appends one record with a memo. Whatever the
// bytes, the engine must neither crash nor allocate without bound.
//
// Input: one byte choosing the memo file's extension (.dbt or .fpt), four
// bytes little-endian with the length of the table part, the table's bytes,
// then the memo file's bytes.
#include "xbase/table.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string Dir() {
  static std::string dir = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/xbase_fuzz_XXXXXX";
    const char* made = mkdtemp(pattern.data());
    return std::string(made ? made : "/tmp");
  }();
  return dir;
}

void Write(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const char* ext = (data[0] & 1) ? ".fpt" : ".dbt";
  size_t table_size = data[1] | (data[2] << 8) | (data[3] << 16) | (size_t{data[4]} << 24);
  data += 5;
  size -= 5;
  if (table_size > size) table_size = size;
  std::string table_path = Dir() + "/t.dbf";
  std::string memo_path = Dir() + "/t" + ext;
  std::remove((Dir() + "/t.dbt").c_str());
  std::remove((Dir() + "/t.fpt").c_str());
  Write(table_path, data, table_size);
  Write(memo_path, data + table_size, size - table_size);

  xbase::NullSink sink;
  xbase::TableOptions options;
  options.sink = &sink;
  options.system_code_set = "UTF-8";
  options.lock_timeout_ms = 10;
  auto table = xbase::Table::Open(table_path, options);
  if (!table) return 0;
  uint32_t records = table->record_count() < 64 ? table->record_count() : 64;
  for (uint32_t r = 1; r <= records; ++r) {
    if (!table->Go(r)) break;
    for (int field : table->visible_fields()) (void)table->Value(field);
  }
  if (table->AppendBlank()) {
    for (int field : table->visible_fields()) {
      if (table->field(field).IsMemo())
        table->AssignMemo(field, "memo text");
      else
        table->Assign(field, "12.5");
    }
    for (int field : table->visible_fields()) (void)table->Value(field);
  }
  table->Close();
  return 0;
}
