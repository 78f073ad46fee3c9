#include "xbase/table.h"

#include "xbase/byte_order.h"
#include "xbase/code_page.h"
#include "xbase/locks.h"
#include "xbase/repair.h"
#include "scratch_dir.h"
#include "test_env.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <thread>

using namespace xbase;

namespace {

class RecordingSink final : public ErrorSink {
 public:
  void Report(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

struct FieldSpec {
  const char* name;
  char type;
  uint8_t length;
  uint8_t decimals = 0;
  uint8_t flags = 0;
};

TableLayout MakeLayout(uint8_t version, std::initializer_list<FieldSpec> fields, MemoKind memo = MemoKind::kNone,
                       uint32_t block_size = 0, uint8_t code_page = 0) {
  TableLayout layout;
  layout.header.version = version;
  layout.header.code_page_mark = code_page;
  for (const auto& s : fields) {
    FieldDescriptor f;
    f.name = s.name;
    f.type = s.type;
    f.length = s.length;
    f.decimals = s.decimals;
    f.flags = s.flags;
    layout.header.fields.push_back(f);
  }
  layout.memo_kind = memo;
  layout.memo_block_size = block_size;
  return layout;
}

TableOptions Options(ErrorSink* sink) {
  TableOptions options;
  options.sink = sink;
  options.system_code_set = "UTF-8";
  options.lock_timeout_ms = 2000;
  return options;
}

struct Flavour {
  const char* label;
  TableLayout layout;
  const char* memo_ext;
};

std::vector<Flavour> Flavours() {
  return {
      {"dBASE_III", MakeLayout(0x83, {{"NAME", 'C', 20}, {"QTY", 'N', 10, 2}, {"DAT", 'D', 8}, {"OK", 'L', 1},
                                      {"NOTE", 'M', 10}}), ".dbt"},
      {"dBASE_IV", MakeLayout(0x8B, {{"NAME", 'C', 20}, {"QTY", 'N', 10, 2}, {"AMT", 'F', 12, 3}, {"DAT", 'D', 8},
                                     {"OK", 'L', 1}, {"NOTE", 'M', 10}}, MemoKind::kDbt4, 1024), ".dbt"},
      {"FoxPro_2", MakeLayout(0xF5, {{"NAME", 'C', 20}, {"QTY", 'N', 10, 2}, {"DAT", 'D', 8}, {"OK", 'L', 1},
                                     {"NOTE", 'M', 10}}, MemoKind::kFpt, 64), ".fpt"},
      {"Visual_FoxPro", MakeLayout(0x32, {{"NAME", 'C', 20}, {"QTY", 'N', 10, 2}, {"DAT", 'D', 8}, {"OK", 'L', 1},
                                          {"NOTE", 'M', 4}, {"CNT", 'I', 4}, {"DBL", 'B', 8}, {"CUR", 'Y', 8},
                                          {"TS", 'T', 8}, {"VC", 'V', 12, 0, 0x02}, {"PIC", 'G', 4},
                                          {"_NullFlags", '0', 1, 0, 0x05}}, MemoKind::kFpt, 32), ".fpt"},
  };
}

void Fill(Table& t, const std::map<std::string, std::string>& values) {
  for (const auto& [name, text] : values) {
    int i = t.FindField(name);
    ASSERT_GE(i, 0) << name;
    if (t.field(i).IsMemo())
      EXPECT_TRUE(t.AssignMemo(i, text)) << name;
    else
      EXPECT_TRUE(t.Assign(i, text)) << name << "=" << text;
  }
}

uint32_t HeaderCount(const std::vector<uint8_t>& bytes) { return GetLe32(bytes.data() + 4); }

}  // namespace

class EveryFlavour : public ::testing::TestWithParam<Flavour> {};

TEST_P(EveryFlavour, RecordsAndMemosReadBackAfterReopening) {
  ScratchDir dir;
  RecordingSink sink;
  std::string path = dir / "out.dbf";
  std::string long_memo(3000, 'x');
  for (size_t i = 0; i < long_memo.size(); i += 61) long_memo[i] = '\n';
  std::vector<std::map<std::string, std::string>> rows = {
      {{"NAME", "first"}, {"QTY", "12.5"}, {"DAT", "20040305"}, {"OK", "T"}, {"NOTE", "short memo"}},
      {{"NAME", "second"}, {"QTY", "-0.25"}, {"DAT", ""}, {"OK", "F"}, {"NOTE", long_memo}},
      {{"NAME", ""}, {"QTY", ""}, {"DAT", "18991230"}, {"OK", "F"}, {"NOTE", ""}},
  };
  bool vfp = GetParam().layout.header.version == 0x32;
  if (vfp) {
    rows[0].insert({{"CNT", "7"}, {"DBL", "0.125"}, {"CUR", "19.99"}, {"TS", "20040305123456"}, {"VC", "var"},
                    {"PIC", std::string("\x01\x02\x00\x03", 4)}});
    rows[1].insert({{"CNT", "-2147483648"}, {"VC", "exactly12chr"}});
  }
  {
    auto t = Table::Create(path, GetParam().layout, false, Options(&sink));
    ASSERT_TRUE(t) << (sink.lines.empty() ? "" : sink.lines[0]);
    for (const auto& row : rows) {
      ASSERT_TRUE(t->AppendBlank());
      Fill(*t, row);
    }
    EXPECT_EQ(t->record_number(), 3u);
    EXPECT_TRUE(t->Close());
  }
  EXPECT_TRUE(sink.lines.empty()) << sink.lines[0];
  EXPECT_TRUE(FileExists(dir / ("out" + std::string(GetParam().memo_ext))));

  auto bytes = ReadBytes(path);
  auto t = Table::Open(path, Options(&sink));
  ASSERT_TRUE(t);
  const TableHeader& h = t->header();
  EXPECT_EQ(h.record_count, 3u);
  EXPECT_EQ(HeaderCount(bytes), 3u);
  ASSERT_EQ(bytes.size(), h.header_length + 3u * h.record_length + 1);
  EXPECT_EQ(bytes.back(), kEndOfFile);
  std::time_t now = std::time(nullptr);
  const std::tm tm = *std::localtime(&now);
  EXPECT_EQ(bytes[1], tm.tm_year);
  EXPECT_EQ(bytes[2], tm.tm_mon + 1);
  EXPECT_EQ(bytes[3], tm.tm_mday);

  for (uint32_t r = 1; r <= rows.size(); ++r) {
    ASSERT_TRUE(t->Go(r));
    for (const auto& [name, text] : rows[r - 1]) {
      std::string want = text;
      if (name == "QTY" && !text.empty()) want = text == "12.5" ? "12.50" : "-0.25";
      if (name == "DBL") want = "0.125";
      if (name == "CUR") want = "19.9900";
      EXPECT_EQ(t->Value(t->FindField(name)), want) << "record " << r << " field " << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, EveryFlavour, ::testing::ValuesIn(Flavours()),
                         [](const auto& param_info) { return std::string(param_info.param.label); });

TEST(CreatingLikeATemplate, KeepsTheStructureButNoIndexOrDatabase) {
  ScratchDir dir;
  RecordingSink sink;
  TableLayout layout = MakeLayout(0x31, {{"ID", 'I', 4, 0, 0x0C}, {"NAME", 'C', 10, 0, 0x02}, {"NOTE", 'M', 4},
                                         {"_NullFlags", '0', 1, 0, 0x05}}, MemoKind::kFpt, 64, 0xC8);
  layout.header.fields[0].autoinc_next = 5;
  layout.header.fields[0].autoinc_step = 2;
  layout.header.table_flags = 0x07;  // structural index, memo, part of a database
  layout.header.tail.assign(kBacklinkSize, 0);
  std::memcpy(layout.header.tail.data(), "..\\sales.dbc", 12);
  ASSERT_TRUE(Table::Create(dir / "tpl.dbf", layout, false, Options(&sink)));
  auto tpl = Table::Open(dir / "tpl.dbf", Options(&sink));
  ASSERT_TRUE(tpl);
  auto copy = Table::Create(dir / "new.dbf", tpl->Layout(), false, Options(&sink));
  ASSERT_TRUE(copy);
  const TableHeader& h = copy->header();
  EXPECT_EQ(h.version, 0x31);
  EXPECT_EQ(h.table_flags, 0x02);
  EXPECT_EQ(h.code_page_mark, 0xC8);
  EXPECT_EQ(h.header_length, 32 + 4 * 32 + 1 + 263);
  ASSERT_EQ(h.fields.size(), 4u);
  EXPECT_EQ(h.fields[1].offset, 5u);
  EXPECT_EQ(h.fields[1].flags, 0x02);
  EXPECT_EQ(h.fields[3].name, "_NullFlags");
  EXPECT_EQ(copy->Layout().memo_block_size, 64u);
  auto bytes = ReadBytes(dir / "new.dbf");
  EXPECT_EQ(bytes[32 + 32 + 12], 5);  // VFP field offsets are written
  EXPECT_EQ(bytes[32 + 4 * 32 + 1], 0);  // backlink cleared: a free table
  EXPECT_EQ(copy->visible_fields().size(), 3u);  // _NullFlags is hidden

  // Autoincrement continues from the descriptor and moves it on.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(copy->AppendBlank());
  EXPECT_EQ(copy->Value(0), "9");
  copy->Close();
  bytes = ReadBytes(dir / "new.dbf");
  EXPECT_EQ(GetLe32(bytes.data() + 32 + 19), 11u);
  EXPECT_TRUE(sink.lines.empty());
}

TEST(CreatingLikeATemplate, RefusesToReplaceAFileUnlessAskedTo) {
  ScratchDir dir;
  RecordingSink sink;
  TableLayout layout = MakeLayout(0x03, {{"A", 'C', 3}});
  ASSERT_TRUE(Table::Create(dir / "a.dbf", layout, false, Options(&sink)));
  EXPECT_FALSE(Table::Create(dir / "a.dbf", layout, false, Options(&sink)));
  EXPECT_EQ(sink.lines.size(), 1u);
  EXPECT_TRUE(Table::Create(dir / "a.dbf", layout, true, Options(&sink)));
}

TEST(CompanionFiles, AreFoundWhateverTheLetterCase) {
  ScratchDir dir;
  RecordingSink sink;
  {
    auto t = Table::Create(dir / "UPPER.DBF", MakeLayout(0xF5, {{"NOTE", 'M', 10}}, MemoKind::kFpt, 64), false,
                           Options(&sink));
    ASSERT_TRUE(t);
    ASSERT_TRUE(t->AppendBlank());
    ASSERT_TRUE(t->AssignMemo(0, "hello"));
  }
  EXPECT_TRUE(FileExists(dir / "UPPER.FPT"));  // named in the table's own case
  std::filesystem::rename(dir / "UPPER.FPT", dir / "upper.fpt");
  auto t = Table::Open(dir / "UPPER.DBF", Options(&sink));
  ASSERT_TRUE(t);
  ASSERT_TRUE(t->Go(1));
  EXPECT_EQ(t->Value(0), "hello");
}

TEST(CodePages, TextsAreConvertedAndMissingCharactersBecomeQuestionMarks) {
  ScratchDir dir;
  RecordingSink sink;
  auto t = Table::Create(dir / "cp.dbf", MakeLayout(0x83, {{"NAME", 'C', 12}, {"NOTE", 'M', 10}}, MemoKind::kDbt3,
                                                      512, 0xC9), false, Options(&sink));
  ASSERT_TRUE(t);
  ASSERT_TRUE(t->AppendBlank());
  t->Assign(0, "Привет Zoë");
  t->AssignMemo(1, "Ж€");
  ASSERT_TRUE(t->Go(1));
  EXPECT_EQ(t->Value(0), "Привет Zo?");
  EXPECT_EQ(t->Value(1), "Ж€");
  t->Close();
  auto bytes = ReadBytes(dir / "cp.dbf");
  size_t at = t->header().header_length + 1;
  EXPECT_EQ(bytes[at], 0xCF);  // 'П' in code page 1251

  // VFP binary fields keep their bytes.
  auto bin = Table::Create(dir / "bin.dbf", MakeLayout(0x30, {{"RAW", 'C', 4, 0, 0x04}}, MemoKind::kNone, 0, 0xC9),
                           false, Options(&sink));
  ASSERT_TRUE(bin->AppendBlank());
  bin->Assign(0, "\xC3\xA9");
  bin->Close();
  bytes = ReadBytes(dir / "bin.dbf");
  EXPECT_EQ(bytes[bin->header().header_length + 1], 0xC3);

  // Mark 0: bytes stored as they come.
  auto raw = Table::Create(dir / "raw.dbf", MakeLayout(0x03, {{"NAME", 'C', 4}}), false, Options(&sink));
  ASSERT_TRUE(raw->AppendBlank());
  raw->Assign(0, "\xC3\xA9");
  raw->Close();
  bytes = ReadBytes(dir / "raw.dbf");
  EXPECT_EQ(bytes[raw->header().header_length + 1], 0xC3);
}

TEST(CodePages, TheSystemCodeSetIsOneTheConverterTakes) {
  // What a table uses when its options name no code set.
  std::string error;
  EXPECT_TRUE(TextConverter::ForMark(0x03, SystemCodeSet(), &error)) << SystemCodeSet() << ": " << error;
}

TEST(Numbers, ThatDoNotFitAreStarredAndReportedOncePerFieldAndFile) {
  ScratchDir dir;
  RecordingSink sink;
  auto t = Table::Create(dir / "n.dbf", MakeLayout(0x03, {{"A", 'N', 3}, {"B", 'N', 5, 1}}), false, Options(&sink));
  for (const char* v : {"1234", "99999", "5"}) {
    ASSERT_TRUE(t->AppendBlank());
    t->Assign(0, v);
    t->Assign(1, v);
  }
  ASSERT_TRUE(t->Go(1));
  EXPECT_EQ(t->Value(0), "***");
  ASSERT_TRUE(t->Go(2));
  EXPECT_EQ(t->Value(1), "*****");
  ASSERT_TRUE(t->Go(3));
  EXPECT_EQ(t->Value(0), "5");
  ASSERT_EQ(sink.lines.size(), 2u);
  EXPECT_NE(sink.lines[0].find("A (N,3,0)"), std::string::npos) << sink.lines[0];
  EXPECT_NE(sink.lines[1].find("B (N,5,1)"), std::string::npos) << sink.lines[1];
}

TEST(Appending, NeverLeavesTheFileShorterThanItsHeaderSays) {
  ScratchDir dir;
  RecordingSink sink;
  auto t = Table::Create(dir / "a.dbf", MakeLayout(0xF5, {{"A", 'C', 10}, {"NOTE", 'M', 10}}, MemoKind::kFpt, 64),
                         false, Options(&sink));
  auto file_holds_what_header_counts = [&] {
    auto bytes = ReadBytes(dir / "a.dbf");  // as another reader would see it now
    return bytes.size() >= t->header().header_length + HeaderCount(bytes) * t->header().record_length;
  };
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(t->AppendBlank());
    t->Assign(0, "row");
    t->AssignMemo(1, "memo");
    EXPECT_TRUE(file_holds_what_header_counts());
  }
  // A batch ends at Flush (or its time limit): then everything is counted.
  ASSERT_TRUE(t->Flush());
  EXPECT_EQ(HeaderCount(ReadBytes(dir / "a.dbf")), 5u);
  std::this_thread::sleep_for(std::chrono::milliseconds(TableOptions().batch_time_ms + 10));
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(t->AppendBlank());
    EXPECT_TRUE(file_holds_what_header_counts());
  }
  EXPECT_EQ(t->record_number(), 7u);
  auto other = Table::Open(dir / "a.dbf", Options(&sink));
  ASSERT_TRUE(other);
  ASSERT_TRUE(other->Go(5));
  EXPECT_EQ(other->Value(1), "memo");
  EXPECT_TRUE(sink.lines.empty());
}

TEST(Appending, TwoWritersOfOneFileKeepEachOthersRecords) {
  ScratchDir dir;
  RecordingSink sink;
  std::string path = dir / "shared.dbf";
  ASSERT_TRUE(Table::Create(path, MakeLayout(0xF5, {{"WHO", 'C', 1}, {"SEQ", 'N', 6}, {"NOTE", 'M', 10}},
                                             MemoKind::kFpt, 64), false, Options(&sink)));
  constexpr int kEach = 150;
  auto writer = [&](const char* who) {
    auto t = Table::Open(path, Options(&sink));
    ASSERT_TRUE(t);
    for (int i = 0; i < kEach; ++i) {
      ASSERT_TRUE(t->AppendBlank());
      t->Assign(0, who);
      t->Assign(1, std::to_string(i));
      t->AssignMemo(2, std::string(who) + std::to_string(i));
    }
  };
  std::thread a(writer, "A"), b(writer, "B");
  a.join();
  b.join();
  auto t = Table::Open(path, Options(&sink));
  ASSERT_TRUE(t);
  ASSERT_EQ(t->record_count(), 2u * kEach);
  std::map<std::string, int> next;
  for (uint32_t r = 1; r <= t->record_count(); ++r) {
    ASSERT_TRUE(t->Go(r));
    std::string who = t->Value(0);
    ASSERT_TRUE(who == "A" || who == "B") << "record " << r;
    EXPECT_EQ(t->Value(1), std::to_string(next[who]));  // each writer's rows in its own order
    EXPECT_EQ(t->Value(2), who + std::to_string(next[who]));
    ++next[who];
  }
  EXPECT_TRUE(sink.lines.empty());
}

TEST(Appending, AFailedAppendLeavesNoRecordForTheNextValues) {
  ScratchDir dir;
  RecordingSink sink;
  TableOptions options = Options(&sink);
  options.lock_timeout_ms = 50;
  std::string path = dir / "a.dbf";
  ASSERT_TRUE(Table::Create(path, MakeLayout(0x03, {{"A", 'C', 10}}), false, options));
  auto t = Table::Open(path, options);
  ASSERT_TRUE(t->AppendBlank());
  t->Assign(0, "first");
  ASSERT_TRUE(t->Flush());
  auto holder = Table::Open(path, options);  // another writer in the middle of a batch
  ASSERT_TRUE(holder->AppendBlank());

  EXPECT_FALSE(t->AppendBlank());
  EXPECT_EQ(t->record_number(), 0u);
  EXPECT_FALSE(t->Assign(0, "second"));  // must not land in record 1
  EXPECT_EQ(sink.lines.size(), 1u);
  holder->Close();
  ASSERT_TRUE(t->AppendBlank());
  EXPECT_EQ(t->record_number(), 3u);
  ASSERT_TRUE(t->Go(1));
  EXPECT_EQ(t->Value(0), "first");
}

// The flags byte is part of the header other programs read and rewrite
// under the header lock: it is never written while another program holds it.
TEST(TableFlags, AreWrittenUnderTheHeaderLockOnly) {
  ScratchDir dir;
  RecordingSink sink;
  TableOptions quick = Options(&sink);
  quick.lock_timeout_ms = 30;
  const std::string path = dir / "flags.dbf";
  auto table = Table::Create(path, MakeLayout(0x30, {{"NAME", 'C', 8}, {"N", 'I', 4}}), false, quick);
  ASSERT_TRUE(table);
  std::string error;
  auto program = OsFile::Open(path, OsFile::Access::kReadWrite, &error);
  ASSERT_TRUE(program) << error;
  const LockRange header = LockScheme::High().Header();  // Visual FoxPro
  ASSERT_TRUE(program->Lock(header.offset, header.length, true, 0));
  EXPECT_FALSE(table->SetTableFlags(0x01));
  EXPECT_EQ(ReadBytes(path)[28], 0x00) << "written while another program held the header";
  EXPECT_EQ(table->header().table_flags, 0x00);
  program->Unlock(header.offset, header.length);
  EXPECT_TRUE(table->SetTableFlags(0x01));
  EXPECT_EQ(ReadBytes(path)[28], 0x01);
  // In a batch of its own the table writes it under the lock the batch holds.
  ASSERT_TRUE(table->AppendBlank());
  EXPECT_TRUE(table->SetTableFlags(0x00));
  EXPECT_FALSE(program->Lock(header.offset, header.length, true, 0)) << "the batch let go of the header";
  ASSERT_TRUE(table->Close());
  const auto bytes = ReadBytes(path);
  EXPECT_EQ(bytes[28], 0x00);
  EXPECT_EQ(HeaderCount(bytes), 1u);
}

// The date a table's header carries is the engine clock's day, in the
// system's time zone, at creation and at every append.
TEST(HeaderDates, AreTheDayOfTheEnginesClock) {
  ScratchDir dir;
  RecordingSink sink;
  test::TestEnv env;
  env.unix_seconds = 1930996800;  // 2031-03-11 12:00 UTC
  TableOptions options = Options(&sink);
  options.env = &env;
  const std::string path = dir / "a.dbf";
  auto stamped = [&] {
    const auto bytes = ReadBytes(path);
    return LocalDate{bytes[1] + 1900, bytes[2], bytes[3]};
  };
  auto same = [](LocalDate a, LocalDate b) { return a.year == b.year && a.month == b.month && a.day == b.day; };
  auto t = Table::Create(path, MakeLayout(0x03, {{"A", 'C', 10}}), false, options);
  ASSERT_TRUE(t);
  EXPECT_TRUE(same(stamped(), LocalDateAt(env.unix_seconds)));
  env.unix_seconds += 40 * 86400;
  ASSERT_TRUE(t->AppendBlank());
  ASSERT_TRUE(t->Close());
  EXPECT_TRUE(same(stamped(), LocalDateAt(env.unix_seconds)));
  EXPECT_EQ(stamped().year, 2031);
}

TEST(Appending, ToATableWithAnIndexWeDoNotKeepIsReportedOnce) {
  ScratchDir dir;
  RecordingSink sink;
  std::string path = dir / "a.dbf";
  ASSERT_TRUE(Table::Create(path, MakeLayout(0x03, {{"A", 'C', 10}}), false, Options(&sink)));
  auto bytes = ReadBytes(path);
  bytes[28] = 0x01;  // a legacy program gave it a production index
  WriteBytes(path, bytes);
  auto t = Table::Open(path, Options(&sink));
  ASSERT_TRUE(t->AppendBlank());
  ASSERT_TRUE(t->AppendBlank());
  EXPECT_EQ(sink.lines.size(), 1u);
}

TEST(CreatingLikeATemplate, GivesAMemoFileWhenTheVersionByteCallsForOne) {
  ScratchDir dir;
  RecordingSink sink;
  ASSERT_TRUE(Table::Create(dir / "a.dbf", MakeLayout(0x83, {{"A", 'C', 10}}), false, Options(&sink)));
  EXPECT_TRUE(FileExists(dir / "a.dbt"));
  ASSERT_TRUE(Table::Create(dir / "b.dbf", MakeLayout(0x03, {{"A", 'C', 10}}), false, Options(&sink)));
  EXPECT_FALSE(FileExists(dir / "b.dbt"));
  EXPECT_FALSE(FileExists(dir / "b.fpt"));
}

// Damaged files: every one gives a null table and a report, never a crash.
class DamagedTable : public ::testing::Test {
 protected:
  void SetUp() override {
    auto t = Table::Create(path, MakeLayout(0xF5, {{"NAME", 'C', 8}, {"NOTE", 'M', 10}}, MemoKind::kFpt, 64), false,
                           Options(&sink));
    ASSERT_TRUE(t);
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(t->AppendBlank());
      t->Assign(0, "n");
      t->AssignMemo(1, "memo text");
    }
    t->Close();
    good = ReadBytes(path);
    sink.lines.clear();
  }
  bool OpensAfter(const std::function<void(std::vector<uint8_t>&)>& damage) {
    auto bytes = good;
    damage(bytes);
    WriteBytes(path, bytes);
    sink.lines.clear();
    return Table::Open(path, Options(&sink)) != nullptr;
  }
  ScratchDir dir;
  RecordingSink sink;
  std::string path = dir / "d.dbf";
  std::vector<uint8_t> good;
};

TEST_F(DamagedTable, HeaderDamageGivesNoTableAndOneReport) {
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
  } cases[] = {
      {"short file", [](auto& b) { b.resize(20); }},
      {"empty file", [](auto& b) { b.clear(); }},
      {"header length beyond the file", [](auto& b) { PutLe16(b.data() + 8, 0xFFF0); }},
      {"header length too small", [](auto& b) { PutLe16(b.data() + 8, 40); }},
      {"record length disagrees", [](auto& b) { PutLe16(b.data() + 10, 7); }},
      {"count beyond the file", [](auto& b) { PutLe32(b.data() + 4, 0xFFFFFFF0u); }},
      {"unknown version", [](auto& b) { b[0] = 0x04; }},
      {"zero-length field", [](auto& b) { b[32 + 16] = 0; }},
      {"unknown field type", [](auto& b) { b[32 + 11] = 'X'; }},
      {"no terminator, no fields", [](auto& b) { b[32] = 0x0D; }},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(OpensAfter(c.damage)) << c.what;
    EXPECT_EQ(sink.lines.size(), 1u) << c.what;
  }
  EXPECT_TRUE(OpensAfter([](auto&) {}));
}

// The count is mended under the table's header lock, the byte other
// programs append under: while one of them holds it, nothing is written.
TEST_F(DamagedTable, ACountBeyondTheFileIsMendedOnlyUnderTheHeaderLock) {
  auto bytes = good;
  PutLe32(bytes.data() + 4, 5);  // the file holds 2
  WriteBytes(path, bytes);
  TableHeader probe;
  probe.version = bytes[0];
  std::string error;
  SharedFile other(OsFile::Open(path, OsFile::Access::kReadWrite, &error), FileRole::kTable,
                   LockScheme::ForTable(probe.FlavorOfVersion(), false));
  auto held = other.LockFile(true);
  ASSERT_TRUE(held);
  TableOptions options = Options(&sink);
  options.lock_timeout_ms = 100;
  EXPECT_FALSE(OpenRepaired(path, options, ""));
  EXPECT_EQ(ReadBytes(path), bytes);
  held->Release();
  auto t = OpenRepaired(path, options, "");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->record_count(), 2u);
  ASSERT_TRUE(t->Go(2));
  EXPECT_EQ(t->Value(0), "n");
}

TEST_F(DamagedTable, MissingOrAbsurdMemoFileGivesNoTable) {
  auto memo = ReadBytes(dir / "d.fpt");
  auto bad = memo;
  PutBe16(bad.data() + 6, 0);  // block size 0
  WriteBytes(dir / "d.fpt", bad);
  EXPECT_FALSE(Table::Open(path, Options(&sink)));
  EXPECT_EQ(sink.lines.size(), 1u);
  std::filesystem::remove(dir / "d.fpt");
  EXPECT_FALSE(Table::Open(path, Options(&sink)));
  EXPECT_EQ(sink.lines.size(), 2u);
}

TEST_F(DamagedTable, MemoBeyondTheMemoFileReadsEmptyAndIsReported) {
  auto memo = ReadBytes(dir / "d.fpt");
  size_t block = 512 / 64;
  PutBe32(memo.data() + block * 64 + 4, 0x7FFFFFF0u);  // first memo claims 2 GB
  WriteBytes(dir / "d.fpt", memo);
  auto bytes = good;
  size_t second_memo = GetLe16(bytes.data() + 8) + GetLe16(bytes.data() + 10) + 1 + 8;
  std::memcpy(bytes.data() + second_memo, "  99999999", 10);
  WriteBytes(path, bytes);
  auto t = Table::Open(path, Options(&sink));
  ASSERT_TRUE(t);
  ASSERT_TRUE(t->Go(1));
  EXPECT_EQ(t->Value(1), "");
  ASSERT_TRUE(t->Go(2));
  EXPECT_EQ(t->Value(1), "");
  EXPECT_EQ(sink.lines.size(), 2u);
  // Appending a memo still works: the damage is in old blocks only.
  ASSERT_TRUE(t->AppendBlank());
  EXPECT_TRUE(t->AssignMemo(1, "new"));
}
