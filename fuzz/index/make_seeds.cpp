// Writes small, valid .cdx and .mdx files as starting points for the index
// fuzzer: one with a single leaf per tag and one with interior nodes.
#include "xbase/index/production_index.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

using namespace xbase::index;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string dir = argv[1];
  std::vector<FieldInfo> fields = {{"NAME", 'C', 1, 12, 0, false}, {"NUM", 'N', 13, 6, 1, false}, {"DAY", 'D', 19, 8, 0, false}};
  auto tag = [](const char* name, const char* expr, const char* filter) {
    TagDescription t;
    t.name = name;
    t.expression = expr;
    t.filter = filter;
    return t;
  };
  std::vector<TagDescription> tags = {tag("NAME", "UPPER(NAME)", ""), tag("NUM", "NUM", "NUM > 0"),
                                      tag("DAY", "DTOS(DAY)+STR(NUM,6,1)", "")};
  for (IndexKind kind : {IndexKind::kCdx, IndexKind::kMdx}) {
    for (int records : {5, 300}) {
      std::string base = dir + "/seed" + std::to_string(records);
      std::string path = base + (kind == IndexKind::kCdx ? ".cdx" : ".mdx");
      std::string problem;
      {
        auto index = ProductionIndex::Create(path, kind, tags, fields, &problem);
        if (!index) {
          std::fprintf(stderr, "%s\n", problem.c_str());
          return 1;
        }
        for (int i = 0; i < records; ++i) {
          char record[32];
          std::snprintf(record, sizeof record, " %-12.12s%6.1f%04d%02d%02d", ("n" + std::to_string(i * 7919 % 1000)).c_str(),
                        (i % 200) - 50.5, 1990 + i % 30, 1 + i % 12, 1 + i % 28);
          index->AddRecord(static_cast<uint32_t>(i + 1),
                           std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(record), 27), &problem);
        }
      }
      std::ifstream in(path, std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), {});
      std::ofstream(base + (kind == IndexKind::kCdx ? ".cseed" : ".mseed"), std::ios::binary)
          << (kind == IndexKind::kCdx ? 'C' : 'M') << bytes;
      std::remove(path.c_str());
    }
  }
  const char* expressions[] = {"DTOS(DAY)+STR(NUM,3)", "UPPER(NAME)+IIF(OK,'Y','N')+STR(CNT)",
                               "SUBSTR(NAME,2,3)-PADL(STR(NUM,8,2),10,'0') > 'A' .AND. .NOT. DELETED()",
                               "YEAR(DAY)*100+MONTH(DAY)+VAL(LEFT(NAME,2))", "CTOD(DTOC(DAY+1))-DAY"};
  for (size_t i = 0; i < std::size(expressions); ++i)
    std::ofstream(dir + "/expr" + std::to_string(i) + ".eseed", std::ios::binary) << 'E' << expressions[i];
  return 0;
}
