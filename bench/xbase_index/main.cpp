// Appends rows to a new FoxPro table twice, without an index and with a
// structural .cdx of two tags (a DTOS+STR compound key and a numeric key),
// and prints records per second for both beside python3-dbf appending the
// same rows without an index.
//   xbase_index_bench DIR [RECORDS]
// The rows are those of bench/xbase_append; its python_append.py gives the
// python3-dbf figure. Rates per tenth of the indexed run show whether the
// cost of a record grows with the index.
#include "bench/BenchSupport.h"
#include "xbase/index/table_adapter.h"
#include "xbase/table.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> Row(long i) { return tidewell::bench::AppendRow(i); }

xbase::TableLayout Layout() {
  struct FieldDef {
    const char* name;
    char type;
    uint8_t length, decimals;
  };
  const FieldDef defs[] = {{"MACHINE", 'N', 4, 0},   {"DAT_E", 'D', 8, 0},    {"TIM_E", 'C', 8, 0},
                        {"REC_NUM", 'N', 10, 0},  {"WEIGHT", 'N', 10, 3},  {"TARE", 'N', 8, 3},
                        {"OPERATOR", 'C', 20, 0}, {"PRODUCT", 'C', 30, 0}, {"OK", 'L', 1, 0},
                        {"LOT", 'C', 12, 0},      {"PIECES", 'N', 6, 0},   {"NOTE", 'M', 10, 0}};
  xbase::TableLayout layout;
  layout.header.version = 0xF5;
  layout.header.code_page_mark = 0x03;
  for (const auto& s : defs) {
    xbase::FieldDescriptor f;
    f.name = s.name;
    f.type = s.type;
    f.length = s.length;
    f.decimals = s.decimals;
    layout.header.fields.push_back(f);
  }
  layout.memo_kind = xbase::MemoKind::kFpt;
  layout.memo_block_size = 64;
  return layout;
}

// Appends `records` rows; returns records per second, 0 on failure.
double Run(const std::string& path, long records, bool indexed, std::vector<double>* tenths) {
  xbase::TableOptions options;
  options.system_code_set = "UTF-8";
  auto start = Clock::now();
  auto table = xbase::Table::Create(path, Layout(), true, options);
  if (!table) return 0;
  if (indexed) {
    std::vector<xbase::index::TagDescription> tags(2);
    tags[0].name = "DATMACH";
    tags[0].expression = "DTOS(DAT_E)+STR(MACHINE,4)";
    tags[1].name = "REC_NUM";
    tags[1].expression = "REC_NUM";
    std::string problem;
    auto index = xbase::index::ProductionIndex::Create(xbase::index::ProductionIndexName(path, table->header()),
                                                       xbase::index::IndexKind::kCdx, tags,
                                                       xbase::index::FieldsOf(table->header()), &problem);
    if (!index) {
      std::fprintf(stderr, "%s\n", problem.c_str());
      return 0;
    }
    table->AddIndex(std::make_unique<xbase::index::TableIndex>(std::move(index)));
  }
  const auto& visible = table->visible_fields();
  long tenth = records / 10 > 0 ? records / 10 : 1;
  auto lap = Clock::now();
  for (long i = 0; i < records; ++i) {
    std::vector<std::string> row = Row(i);
    if (!table->AppendBlank()) return 0;
    for (size_t k = 0; k < visible.size() && k < row.size(); ++k) table->Assign(visible[k], row[k]);
    if ((i + 1) % tenth == 0) {
      auto now = Clock::now();
      tenths->push_back(static_cast<double>(tenth) / std::chrono::duration<double>(now - lap).count());
      lap = now;
    }
  }
  if (!table->Close()) return 0;
  return static_cast<double>(records) / std::chrono::duration<double>(Clock::now() - start).count();
}

double PythonRate(const std::string& dir, long records) {
  std::string command = std::string(XBASE_PYTHON) + " " + PYTHON_APPEND + " '" + dir + "' " + std::to_string(records);
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return 0;
  char line[512];
  double rate = 0;
  while (std::fgets(line, sizeof line, pipe)) {
    long n;
    double seconds;
    if (std::sscanf(line, "python3-dbf: %ld records in %lf s: %lf", &n, &seconds, &rate) == 3) break;
  }
  ::pclose(pipe);
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  const auto [dir, records] = tidewell::bench::DirAndRecords(argc, argv);
  std::vector<double> plain_tenths, indexed_tenths;
  double plain = Run(dir + "/bench_plain.dbf", records, false, &plain_tenths);
  double indexed = Run(dir + "/bench_indexed.dbf", records, true, &indexed_tenths);
  if (plain == 0 || indexed == 0) {
    std::fprintf(stderr, "the benchmark's appends failed\n");
    return 1;
  }
  double python = PythonRate(dir, records);
  std::printf("xbase without index:        %8.0f records/s\n", plain);
  std::printf("xbase with two .cdx tags:   %8.0f records/s (first tenth %.0f, last tenth %.0f)\n", indexed,
              indexed_tenths.front(), indexed_tenths.back());
  if (python > 0) {
    std::printf("python3-dbf without index:  %8.0f records/s\n", python);
    std::printf("indexed / python3-dbf:      %8.1fx (target at least 4x)\n", indexed / python);
  } else {
    std::printf("python3-dbf figure not available\n");
  }
  return 0;
}
