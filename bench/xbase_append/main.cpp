// Appends rows to a new FoxPro table with a memo field through the library
// calls the conversion makes, and prints records per second.
//   xbase_append_bench DIR [RECORDS]
// The rows are those bench/xbase_append/python_append.py appends, so the two
// figures compare like with like. Rates per tenth of the run show whether
// the cost of a record grows with the file.
#include "bench/BenchSupport.h"
#include "dbf/CodeBase.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

FIELD4INFO kFields[] = {
    {"MACHINE", 'N', 4, 0, 0},   {"DAT_E", 'D', 8, 0, 0},     {"TIM_E", 'C', 8, 0, 0},
    {"REC_NUM", 'N', 10, 0, 0},  {"WEIGHT", 'N', 10, 3, 0},   {"TARE", 'N', 8, 3, 0},
    {"OPERATOR", 'C', 20, 0, 0}, {"PRODUCT", 'C', 30, 0, 0},  {"OK", 'L', 1, 0, 0},
    {"LOT", 'C', 12, 0, 0},      {"PIECES", 'N', 6, 0, 0},    {"NOTE", 'M', 10, 0, 0},
    {nullptr, 0, 0, 0, 0},
};

std::vector<std::string> Row(long i) { return tidewell::bench::AppendRow(i); }

}  // namespace

int main(int argc, char** argv) {
  const auto [dir, records] = tidewell::bench::DirAndRecords(argc, argv);
  std::string tpl = dir + "/bench_tpl.dbf", out = dir + "/bench_out.dbf";

  CodeHandle code = code4initP();
  code4singleOpen(code, 0);
  code4safety(code, 0);
  code4errFieldName(code, 0);
  // A FoxPro 2 template with a 64-byte-block memo file: one field array made
  // the way the library makes it, then the version byte of the flavour.
  if (!d4create(code, tpl.c_str(), kFields, nullptr)) return 1;
  {
    std::FILE* f = std::fopen(tpl.c_str(), "r+b");
    if (!f) return 1;
    std::fputc(0xF5, f);
    std::fclose(f);
    std::remove((dir + "/bench_tpl.dbt").c_str());
    std::FILE* m = std::fopen((dir + "/bench_tpl.fpt").c_str(), "wb");
    std::vector<unsigned char> header(512, 0);
    header[3] = 8;     // next free block
    header[7] = 64;    // block size
    std::fwrite(header.data(), 1, header.size(), m);
    std::fclose(m);
  }
  DbfHandle t = d4open(code, tpl.c_str());
  if (!t) return 1;
  FIELD4INFO* fields = d4fieldInfo(t);
  d4create(code, out.c_str(), fields, nullptr);
  u4freeDefault(fields);
  d4close(t);

  auto start = Clock::now();
  DbfHandle d = d4open(code, out.c_str());
  if (!d) return 1;
  fields = d4fieldInfo(d);
  long tenth = records / 10 > 0 ? records / 10 : 1;
  std::vector<double> rates;
  auto lap = Clock::now();
  for (long i = 0; i < records; ++i) {
    std::vector<std::string> row = Row(i);
    d4appendBlank(d);
    for (int k = 0; fields[k].name; ++k) {
      FieldHandle f = d4field(d, fields[k].name);
      if (!f) continue;
      if (f4type(f) == 'M')
        f4memoAssign(d4field(d, fields[k].name), row[static_cast<size_t>(k)].c_str());
      else
        f4assign(d4field(d, fields[k].name), row[static_cast<size_t>(k)].c_str());
    }
    if (d4recNo(d) != i + 1) return 1;
    if ((i + 1) % tenth == 0) {
      auto now = Clock::now();
      rates.push_back(static_cast<double>(tenth) / std::chrono::duration<double>(now - lap).count());
      lap = now;
    }
  }
  u4freeDefault(fields);
  d4close(d);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  code4close(code);
  code4initUndoP(code);

  std::printf("xbase: %ld records in %.2f s: %.0f records/s\n", records, seconds, records / seconds);
  if (rates.size() >= 2)
    std::printf("xbase: first tenth %.0f records/s, last tenth %.0f records/s\n", rates.front(), rates.back());
  return 0;
}
