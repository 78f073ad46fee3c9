// Files written by our engine are read back by independent readers (Debian's
// python3-dbf and python3-dbfread), and files python3-dbf writes are read by
// our engine. A missing reader fails these tests: it does not skip them.
#include "dbf/CodeBase.h"
#include "xbase/table.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Runs the helper; returns its exit status and leaves its output in *output.
int Helper(const std::string& args, const ScratchDir& dir, std::string* output) {
  std::string out = dir / "helper.out";
  std::string cmd = std::string(XBASE_PYTHON) + " " + XBASE_INTEROP_HELPER + " " + args + " > " + Quote(out) + " 2>&1";
  int status = std::system(cmd.c_str());
  std::ifstream in(out);
  std::stringstream text;
  text << in.rdbuf();
  *output = text.str();
  return status;
}

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// One row: field name, text assigned, and the JSON value readers must give.
struct Cell {
  std::string field;
  std::string text;
  std::string json;
};
using Row = std::vector<Cell>;

std::vector<Row> RowsFor(const std::string& kind) {
  std::string long_memo;
  for (int i = 0; i < 40; ++i) long_memo += "line " + std::to_string(i) + " of a memo longer than one block\r\n";
  std::vector<Row> rows = {
      {{"NAME", "Café €5", Json("Café €5")}, {"QTY", "12.5", "12.5"}, {"AMT", "-3.1416", "-3.142"},
       {"DAT", "20040305", "\"20040305\""}, {"OK", "T", "true"}, {"NOTE", "short memo", Json("short memo")}},
      {{"NAME", "Жук", Json("???")}, {"QTY", "2.675", "2.68"}, {"AMT", "1e3", "1000"},
       {"DAT", "", "null"}, {"OK", "F", "false"}, {"NOTE", long_memo, Json(long_memo)}},
      {{"NAME", "a name longer than twenty", Json("a name longer than t")}, {"QTY", "", "null"},
       {"AMT", "0", "0"}, {"DAT", "18991230", "\"18991230\""}, {"OK", "F", "false"}, {"NOTE", "", Json("")}},
  };
  if (kind == "vfp") {
    rows[0].insert(rows[0].end(), {{"CNT", "-42", "-42"}, {"DBL", "2.5", "2.5"}, {"CUR", "19.99", "19.99"},
                                   {"TS", "2004-03-05 12:34:56", "\"20040305123456\""},
                                   {"PIC", "GIF89a raw", Json("GIF89a raw")}});
    rows[1].insert(rows[1].end(), {{"CNT", "2147483647", "2147483647"}, {"DBL", "-1e-7", "-1e-7"},
                                   {"CUR", "-0.5", "-0.5"}, {"TS", "20000229", "\"20000229000000\""}});
  }
  return rows;
}

void WriteExpected(const std::string& path, const std::vector<Row>& rows) {
  std::ofstream out(path, std::ios::binary);
  out << "[";
  for (size_t r = 0; r < rows.size(); ++r) {
    out << (r ? ",\n{" : "\n{");
    for (size_t c = 0; c < rows[r].size(); ++c)
      out << (c ? ", " : "") << Json(rows[r][c].field) << ": " << rows[r][c].json;
    out << "}";
  }
  out << "]\n";
}

void AppendRows(DbfHandle data, const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    ASSERT_EQ(d4appendBlank(data), r4success);
    for (const Cell& cell : row) {
      FieldHandle f = d4field(data, cell.field.c_str());
      ASSERT_TRUE(f) << cell.field;
      if (f4type(f) == 'M')
        f4memoAssign(f, cell.text.c_str());
      else
        f4assign(f, cell.text.c_str());
    }
  }
}

// `encoding`: how the readers decode a table whose header names no code page.
void ExpectReadersAgree(const ScratchDir& dir, const std::string& path, const std::vector<Row>& rows,
                        std::initializer_list<const char*> readers, const std::string& encoding = "") {
  std::string expected = dir / "expected.json";
  WriteExpected(expected, rows);
  for (const char* reader : readers) {
    std::string output;
    EXPECT_EQ(Helper(std::string("check ") + reader + " " + Quote(path) + " " + Quote(expected) +
                         (encoding.empty() ? "" : " " + encoding),
                     dir, &output),
              0)
        << reader << " reading " << path << ":\n" << output;
  }
}

}  // namespace

class PythonTemplates : public ::testing::TestWithParam<const char*> {};

TEST_P(PythonTemplates, OurEngineReadsThemAndWritesFilesLikeThemThatTheyRead) {
  ScratchDir dir;
  std::string kind = GetParam();
  std::string tpl = dir / "tpl.dbf", out = dir / "05030407.dbf", output;
  ASSERT_EQ(Helper("make-template " + kind + " " + Quote(tpl) + " cp1252", dir, &output), 0) << output;

  std::vector<std::string> reports;
  code4setReport([&](const std::string& line) { reports.push_back(line); });
  CodeHandle code = code4initP();
  code4singleOpen(code, 0);
  code4safety(code, 0);
  code4errFieldName(code, 0);

  // What python3-dbf wrote, read by us.
  DbfHandle t = d4open(code, tpl.c_str());
  ASSERT_TRUE(t);
  ASSERT_EQ(d4recCount(t), 1);
  ASSERT_EQ(d4go(t, 1), r4success);
  EXPECT_EQ(f4str(d4field(t, "NAME")), "Zoë");
  EXPECT_EQ(f4str(d4field(t, "QTY")), "12.50");
  EXPECT_EQ(f4str(d4field(t, "AMT")), "-3.250");
  EXPECT_EQ(f4str(d4field(t, "DAT")), "20040305");
  EXPECT_EQ(f4str(d4field(t, "OK")), "T");
  EXPECT_EQ(f4str(d4field(t, "NOTE")), "first memo\nline two");
  if (kind == "vfp") {
    EXPECT_EQ(f4str(d4field(t, "CNT")), "-42");
    EXPECT_EQ(f4str(d4field(t, "DBL")), "2.5");
    EXPECT_EQ(f4str(d4field(t, "CUR")), "19.9900");
    EXPECT_EQ(f4str(d4field(t, "TS")), "20040305123456");
  }

  // A file like it, filled by us, read by both.
  FIELD4INFO* fields = d4fieldInfo(t);
  ASSERT_TRUE(d4create(code, out.c_str(), fields, nullptr));
  u4freeDefault(fields);
  d4close(t);
  DbfHandle data = d4open(code, out.c_str());
  ASSERT_TRUE(data);
  auto rows = RowsFor(kind);
  AppendRows(data, rows);
  EXPECT_EQ(d4recNo(data), 3);
  EXPECT_EQ(d4close(data), r4success);
  code4close(code);
  code4initUndoP(code);
  code4setReport(nullptr);
  EXPECT_TRUE(reports.empty()) << reports[0];

  // The new header is the template's but for date and record count.
  auto a = ReadBytes(tpl), b = ReadBytes(out);
  size_t header_length = a[8] | (a[9] << 8);
  ASSERT_GE(b.size(), header_length);
  for (size_t i : {1, 2, 3, 4, 5, 6, 7}) b[i] = a[i];
  EXPECT_EQ(std::vector<uint8_t>(a.begin(), a.begin() + static_cast<long>(header_length)),
            std::vector<uint8_t>(b.begin(), b.begin() + static_cast<long>(header_length)));
  ExpectReadersAgree(dir, out, rows, {"dbf", "dbfread"});
}

INSTANTIATE_TEST_SUITE_P(Flavours, PythonTemplates, ::testing::Values("db3", "fp", "vfp"));

TEST(DbaseFourMemos, AreReadByAnIndependentReader) {
  // python3-dbf writes no dBASE IV tables, so the template is ours; dbfread
  // reads dBASE IV memo files.
  ScratchDir dir;
  xbase::TableLayout layout;
  layout.header.version = 0x8B;
  layout.header.code_page_mark = 0x03;
  for (auto [name, type, len, dec] : {std::tuple{"NAME", 'C', 20, 0}, {"QTY", 'N', 10, 2}, {"AMT", 'F', 12, 3},
                                       {"DAT", 'D', 8, 0}, {"OK", 'L', 1, 0}, {"NOTE", 'M', 10, 0}}) {
    xbase::FieldDescriptor f;
    f.name = name;
    f.type = type;
    f.length = static_cast<uint8_t>(len);
    f.decimals = static_cast<uint8_t>(dec);
    layout.header.fields.push_back(f);
  }
  layout.memo_kind = xbase::MemoKind::kDbt4;
  layout.memo_block_size = 512;
  xbase::TableOptions options;
  options.system_code_set = "UTF-8";
  std::string path = dir / "db4.dbf";
  ASSERT_TRUE(xbase::Table::Create(path, layout, false, options));
  CodeHandle code = code4initP();
  DbfHandle data = d4open(code, path.c_str());
  ASSERT_TRUE(data);
  auto rows = RowsFor("db4");
  AppendRows(data, rows);
  code4close(code);
  code4initUndoP(code);
  ExpectReadersAgree(dir, path, rows, {"dbfread"});
}

// A text wider than its character field keeps the characters that fit whole:
// in a table without a code page (UTF-8 bytes as they come), in a double-byte
// code page (936) and in a single-byte one (1252). A reader that decodes
// strictly fails on any half character.
TEST(CharacterCuts, AFieldCutAtItsWidthHoldsNoPartOfACharacter) {
  struct Case {
    uint8_t mark;
    std::vector<Row> rows;
    std::initializer_list<const char*> readers;
    const char* encoding;
  };
  const Case cases[] = {
      {0x00,
       {{{"NAME", "äääx", Json("ää")}},  // 4 of 5 bytes: the third ä would not fit
        {{"NAME", "aäää", Json("aää")}},  // 5 bytes exactly
        {{"NAME", "€€", Json("€")}},
        {{"NAME", "ab€", Json("ab€")}}},
       {"dbfread"},
       "utf-8"},
      {0x7A,
       {{{"NAME", "中文字符", Json("中文")}},  // two bytes each: 4 of 5
        {{"NAME", "a中文字", Json("a中文")}},
        {{"NAME", "Жук", Json("Жу")}}},  // Cyrillic takes two bytes in GBK too
       {"dbf", "dbfread"},
       ""},
      {0x03, {{{"NAME", "Müllerß", Json("Mülle")}}, {{"NAME", "€uro€", Json("€uro€")}}}, {"dbf", "dbfread"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mark));
    ScratchDir dir;
    xbase::TableLayout layout;
    layout.header.version = 0x03;
    layout.header.code_page_mark = c.mark;
    xbase::FieldDescriptor f;
    f.name = "NAME";
    f.type = 'C';
    f.length = 5;
    layout.header.fields.push_back(f);
    xbase::TableOptions options;
    options.system_code_set = "UTF-8";
    const std::string path = dir / "cut.dbf";
    auto table = xbase::Table::Create(path, layout, false, options);
    ASSERT_TRUE(table);
    for (const Row& row : c.rows) {
      ASSERT_TRUE(table->AppendBlank());
      ASSERT_TRUE(table->Assign(0, row[0].text));
      // What a check expects of the text is what the field now holds.
      EXPECT_EQ(table->StoredValue(0, row[0].text), table->Value(0));
    }
    ASSERT_TRUE(table->Close());
    ExpectReadersAgree(dir, path, c.rows, c.readers, c.encoding);
  }
}
