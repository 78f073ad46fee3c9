// Other programs at the same files: the bytes the engine locks for each
// flavour, what an index switch changes and leaves alone, and, in other
// processes, a reader that behaves like a legacy xBase program (it locks
// the index, caches its pages and only drops them when the change fields
// moved) and a second writer, both working while a run appends.
#include "dbf/CodeBase.h"
#include "dbf/mycbase.h"

#include "library_fixture.h"
#include "scratch_dir.h"
#include "tests/support/Command.h"
#include "tools/dbfcheck/dbf_check.h"
#include "xbase/byte_order.h"
#include "xbase/index/index_image.h"
#include "xbase/index/table_adapter.h"
#include "xbase/locks.h"
#include "xbase/table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using tidewell::AssignDbfField;
using tidewell::CreateDbfLike;
using tidewell::OpenDbf;

namespace {

namespace ix = xbase::index;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kHigh = 0x7FFFFFFE;
constexpr uint64_t kLow = 0x40000000;

std::vector<ix::TagDescription> Tags() {
  auto tag = [](const char* name, const char* expression) {
    ix::TagDescription d;
    d.name = name;
    d.expression = expression;
    return d;
  };
  return {tag("NAME", "UPPER(NAME)"), tag("QTY", "QTY"), tag("DAY", "DTOS(DAT)+NAME")};
}

// A template like a site's: fields, a memo when asked, and a production
// index of the flavour's kind when asked. Returns its path.
std::string MakeTemplate(const ScratchDir& dir, uint8_t version, bool memo, bool indexed,
                         const std::string& name = "tpl.dbf") {
  xbase::TableLayout layout;
  layout.header.version = version;
  auto field = [&](const char* n, char type, uint8_t length, uint8_t decimals) {
    xbase::FieldDescriptor d;
    d.name = n;
    d.type = type;
    d.length = length;
    d.decimals = decimals;
    layout.header.fields.push_back(d);
  };
  field("NAME", 'C', 12, 0);
  field("QTY", 'N', 8, 1);
  field("DAT", 'D', 8, 0);
  if (memo) field("NOTE", 'M', version == 0x30 ? 4 : 10, 0);
  const std::string path = dir / name;
  auto table = xbase::Table::Create(path, layout, true, {});
  EXPECT_NE(table, nullptr);
  if (!table) return path;
  if (indexed) {
    EXPECT_TRUE(table->SetTableFlags(static_cast<uint8_t>(table->header().table_flags | 0x01)));
    std::string problem;
    EXPECT_NE(ix::ProductionIndex::Create(ix::ProductionIndexName(path, table->header()),
                                          ix::ProductionIndexKind(table->header()), Tags(),
                                          ix::FieldsOf(table->header()), &problem),
              nullptr)
        << problem;
  }
  return path;
}

// Another program's hold on some bytes of a file.
std::unique_ptr<xbase::OsFile> Hold(const std::string& path, uint64_t offset, uint64_t length = 1) {
  std::string error;
  auto file = xbase::OsFile::Open(path, xbase::OsFile::Access::kReadWrite, &error);
  EXPECT_NE(file, nullptr) << error;
  if (file) {
    EXPECT_TRUE(file->Lock(offset, length, true, 0)) << path << " @" << offset;
  }
  return file;
}

bool FreeToLock(const std::string& path, uint64_t offset) {
  std::string error;
  auto file = xbase::OsFile::Open(path, xbase::OsFile::Access::kReadWrite, &error);
  return file && file->Lock(offset, 1, true, 0);
}

xbase::TableOptions Quick() {
  xbase::TableOptions options;
  options.lock_timeout_ms = 50;
  options.batch_time_ms = 60000;  // the append lock is held until Flush
  return options;
}

struct Flavour {
  friend void PrintTo(const Flavour& f, std::ostream* os) { *os << f.name; }
  const char* name;
  uint8_t version;
  bool indexed;
  uint64_t header;     // the table's append lock byte
  bool high;           // records counted down from the header byte
  uint64_t index;      // the index file's lock byte (indexed flavours)
};

class LockBytes : public ::testing::TestWithParam<Flavour> {};

std::string PathOf(const std::string& table, const char* ext) { return xbase::CompanionName(table, ext); }

TEST_P(LockBytes, AppendsTakeTheFlavoursHeaderByteAndNothingElse) {
  const Flavour f = GetParam();
  ScratchDir dir;
  const std::string path = MakeTemplate(dir, f.version, true, f.indexed);
  {
    auto other = Hold(path, f.header);
    auto table = xbase::Table::Open(path, Quick());
    ASSERT_NE(table, nullptr);
    EXPECT_FALSE(table->AppendBlank()) << "appended while another program held the header byte";
  }
  {
    // The bytes beside it, and the header's own bytes, are not ours to wait for.
    auto below = Hold(path, f.header - 1), above = Hold(path, f.header + 1), header = Hold(path, 0, 32);
    auto table = xbase::Table::Open(path, Quick());
    ASSERT_NE(table, nullptr);
    ASSERT_TRUE(table->AppendBlank());
    EXPECT_FALSE(FreeToLock(path, f.header)) << "append batch without the header lock";
    ASSERT_TRUE(table->Flush());
    EXPECT_TRUE(FreeToLock(path, f.header)) << "header lock kept after the batch";
    ASSERT_TRUE(table->AppendBlank());
    ASSERT_TRUE(table->Close());
  }
  // A counted record is changed under its own record lock.
  auto table = xbase::Table::Open(path, Quick());
  ASSERT_NE(table, nullptr);
  ASSERT_EQ(table->record_count(), 2u);
  const auto& h = table->header();
  auto record_byte = [&](uint32_t n) {
    return f.high ? kHigh - n : kLow + h.header_length + uint64_t{n - 1} * h.record_length;
  };
  {
    auto other = Hold(path, record_byte(1));
    ASSERT_TRUE(table->Go(1));
    ASSERT_TRUE(table->Assign(table->FindField("NAME"), "CHANGED"));
    EXPECT_FALSE(table->Flush()) << "record 1 written while another program held its lock";
  }
  {
    auto other = Hold(path, record_byte(2));
    ASSERT_TRUE(table->Go(1));
    ASSERT_TRUE(table->Assign(table->FindField("NAME"), "CHANGED"));
    EXPECT_TRUE(table->Flush());
  }
}

TEST_P(LockBytes, MemoBlocksWaitForTheMemoFilesLockByte) {
  const Flavour f = GetParam();
  ScratchDir dir;
  const std::string path = MakeTemplate(dir, f.version, true, f.indexed);
  const std::string memo =
      xbase::FindCompanionFile(path, ".fpt").value_or(xbase::FindCompanionFile(path, ".dbt").value_or(""));
  ASSERT_FALSE(memo.empty());
  auto table = xbase::Table::Open(path, Quick());
  ASSERT_NE(table, nullptr);
  const int note = table->FindField("NOTE");
  {
    auto other = Hold(memo, f.header);
    ASSERT_TRUE(table->AppendBlank());
    EXPECT_FALSE(table->AssignMemo(note, "a memo")) << "memo blocks taken under another program's lock";
  }
  auto beside = Hold(memo, f.header + 1), first = Hold(memo, 0, 512);
  ASSERT_TRUE(table->AppendBlank());
  EXPECT_TRUE(table->AssignMemo(note, "a memo"));
  EXPECT_TRUE(table->Close());
}

class IndexLockBytes : public LockBytes {};

TEST_P(IndexLockBytes, IndexReadsAndFlushesTakeTheIndexLockByte) {
  const Flavour f = GetParam();
  ScratchDir dir;
  const std::string path = MakeTemplate(dir, f.version, false, true);
  auto table = xbase::Table::Open(path, {});
  ASSERT_NE(table, nullptr);
  const auto fields = ix::FieldsOf(table->header());
  const std::string index_path = *ix::FindProductionIndex(path, table->header());
  std::string problem;
  {
    auto other = Hold(index_path, f.index);
    EXPECT_EQ(ix::ProductionIndex::Open(index_path, fields, &problem, {50, {}}), nullptr);
    EXPECT_NE(problem.find("locked"), std::string::npos) << problem;
  }
  auto below = Hold(index_path, f.index - 1), above = Hold(index_path, f.index + 1);
  auto index = ix::ProductionIndex::Open(index_path, fields, &problem, {50, {}});
  ASSERT_NE(index, nullptr) << problem;
  ASSERT_TRUE(table->AppendBlank());
  ASSERT_TRUE(table->Assign(table->FindField("NAME"), "KEYED"));
  ASSERT_TRUE(table->Close());
  auto again = xbase::Table::Open(path, {});
  ASSERT_TRUE(again->Go(1));
  ASSERT_TRUE(index->AddRecord(1, again->record_bytes(), &problem));
  {
    auto other = Hold(index_path, f.index);
    EXPECT_FALSE(index->Flush(&problem)) << "index written while another program held its lock";
  }
  EXPECT_TRUE(index->Flush(&problem)) << problem;
}

INSTANTIATE_TEST_SUITE_P(
    EveryFlavour, LockBytes,
    ::testing::Values(Flavour{"VisualFoxPro", 0x30, true, kHigh, true, kHigh},
                      Flavour{"VisualFoxProWithoutIndex", 0x30, false, kHigh, true, 0},
                      Flavour{"FoxPro2WithCdx", 0xF5, true, kHigh, true, kHigh},
                      Flavour{"FoxPro2WithoutIndex", 0xF5, false, kLow, false, 0},
                      Flavour{"Dbase3", 0x83, false, kLow, false, 0},
                      Flavour{"Dbase4WithMdx", 0x8B, true, kLow, false, kLow}),
    [](const auto& p) { return std::string(p.param.name); });
INSTANTIATE_TEST_SUITE_P(IndexedFlavours, IndexLockBytes,
                         ::testing::Values(Flavour{"VisualFoxPro", 0x30, true, kHigh, true, kHigh},
                                           Flavour{"FoxPro2WithCdx", 0xF5, true, kHigh, true, kHigh},
                                           Flavour{"Dbase4WithMdx", 0x8B, true, kLow, false, kLow}),
                         [](const auto& p) { return std::string(p.param.name); });

// ---- index switches -----------------------------------------------------

struct Snapshot {
  std::vector<uint8_t> bytes;
  ix::IndexImage image;
};

Snapshot Read(const std::string& index_path, ix::IndexKind kind) {
  Snapshot s;
  s.bytes = ReadBytes(index_path);
  std::string problem;
  auto image = kind == ix::IndexKind::kCdx ? ix::ReadCdx(s.bytes, {}, &problem) : ix::ReadMdx(s.bytes, &problem);
  EXPECT_TRUE(image.has_value()) << problem;
  if (image) s.image = std::move(*image);
  return s;
}

// A conversion run appends the records of a batch of marks and flushes
// them together, just before the batch's marks leave; it appends again
// once they are answered: about 3 ms for 128 rows from a server on
// loopback (scripts/bench-marks), with every lock of the file free.
constexpr int kRunBatch = 128;
constexpr std::chrono::milliseconds kMarksOfABatch{3};

// Appends `count` records through the library, flushing after every
// `flush_every` of them and then waiting `after_flush`: kRunBatch and
// kMarksOfABatch as a conversion run does, 1 and no wait as a legacy
// program appending a record at a time; with 0 the records and the index
// are written once, at the close.
void AppendRecords(const std::string& path, const std::string& prefix, int first, int count, int flush_every,
                   std::chrono::milliseconds after_flush = {}) {
  Code code;
  DbfHandle file = OpenDbf(code.h, path, "");
  ASSERT_NE(file, nullptr) << path;
  for (int i = first; i < first + count; ++i) {
    ASSERT_EQ(d4appendBlank(file), r4success);
    char name[32];
    std::snprintf(name, sizeof name, "%s%06d", prefix.c_str(), i);
    AssignDbfField(file, "NAME", name);
    AssignDbfField(file, "QTY", std::to_string(i % 1000) + ".5");
    AssignDbfField(file, "DAT", "2026" + std::string(i % 2 ? "0311" : "1209"));
    if (d4field(file, "NOTE")) AssignDbfField(file, "NOTE", std::string("memo of ") + name);
    if (flush_every > 0 && (i - first + 1) % flush_every == 0) {
      ASSERT_EQ(d4flush(file), r4success);
      std::this_thread::sleep_for(after_flush);
    }
  }
  d4close(file);
}

class IndexSwitch : public ::testing::TestWithParam<ix::IndexKind> {};

TEST_P(IndexSwitch, TagHeadersStayPutChangeFieldsMoveAndTheTreesInUseAreNotTouched) {
  ScratchDir dir;
  Reports reports;
  const bool cdx = GetParam() == ix::IndexKind::kCdx;
  const std::string tpl = MakeTemplate(dir, cdx ? 0xF5 : 0x8B, true, true);
  const std::string path = dir / "03110601.dbf";
  Code code;
  CreateDbfLike(code.h, tpl, path);
  const std::string index_path = PathOf(path, cdx ? ".cdx" : ".mdx");
  AppendRecords(path, "A", 1, 300, 0);
  Snapshot before = Read(index_path, GetParam());
  AppendRecords(path, "B", 1, 300, 0);  // one flush, at the close
  Snapshot after = Read(index_path, GetParam());

  ASSERT_EQ(before.image.tags.size(), after.image.tags.size());
  for (size_t t = 0; t < after.image.tags.size(); ++t) {
    EXPECT_EQ(before.image.tags[t].header_offset, after.image.tags[t].header_offset) << "tag header moved";
    EXPECT_EQ(after.image.tags[t].entries.size(), 600u);
    const uint8_t* old_tag = before.bytes.data() + before.image.tags[t].header_offset;
    const uint8_t* new_tag = after.bytes.data() + after.image.tags[t].header_offset;
    EXPECT_NE(xbase::GetLe32(old_tag), xbase::GetLe32(new_tag)) << "root did not move";
    if (cdx) {
      EXPECT_GT(xbase::GetLe32(new_tag + 8), xbase::GetLe32(old_tag + 8)) << "tag version unchanged";
    }
  }
  if (cdx) {
    EXPECT_GT(xbase::GetLe32(after.bytes.data() + 8), xbase::GetLe32(before.bytes.data() + 8));
  }
  EXPECT_GE(after.bytes.size(), before.bytes.size()) << "the file was cut while others may read it";
  // Every page the old trees used is as it was: a reader still following
  // them finds what it expects until it sees the change.
  for (const auto& range : before.image.used) {
    bool header = range.offset < (cdx ? 1024u : 2048u);
    for (const auto& t : before.image.tags) header = header || range.offset == t.header_offset;
    if (header) continue;
    ASSERT_LE(range.offset + range.length, after.bytes.size());
    EXPECT_TRUE(std::equal(before.bytes.begin() + static_cast<long>(range.offset),
                           before.bytes.begin() + static_cast<long>(range.offset + range.length),
                           after.bytes.begin() + static_cast<long>(range.offset)))
        << "page at " << range.offset << " written over while in use";
  }
  std::ostringstream out;
  EXPECT_EQ(tidewell::tools::CheckDbf(path, out), 0) << out.str();
}

TEST_P(IndexSwitch, SpaceOfOldTreesIsTakenAgainSoTheFileStaysSmall) {
  ScratchDir dir;
  Reports reports;
  const bool cdx = GetParam() == ix::IndexKind::kCdx;
  const std::string tpl = MakeTemplate(dir, cdx ? 0xF5 : 0x8B, false, true);
  const std::string path = dir / "03110602.dbf";
  Code code;
  CreateDbfLike(code.h, tpl, path);
  const std::string index_path = PathOf(path, cdx ? ".cdx" : ".mdx");
  for (int round = 0; round < 40; ++round) AppendRecords(path, "R", round * 100, 100, 0);
  Snapshot s = Read(index_path, GetParam());
  uint64_t live = 0;
  for (const auto& r : s.image.used) live += r.length;
  EXPECT_LE(s.bytes.size(), 4 * live + 8192) << "live " << live << " bytes in a file of " << s.bytes.size();
  std::ostringstream out;
  EXPECT_EQ(tidewell::tools::CheckDbf(path, out), 0) << out.str();
}

TEST_P(IndexSwitch, ATagLeftOnItsOldTreeByAKillIsCaughtUpOnOpen) {
  ScratchDir dir;
  Reports reports;
  const bool cdx = GetParam() == ix::IndexKind::kCdx;
  const std::string tpl = MakeTemplate(dir, cdx ? 0xF5 : 0x8B, false, true);
  const std::string path = dir / "03110603.dbf";
  Code code;
  CreateDbfLike(code.h, tpl, path);
  const std::string index_path = PathOf(path, cdx ? ".cdx" : ".mdx");
  AppendRecords(path, "A", 1, 200, 0);
  Snapshot before = Read(index_path, GetParam());
  AppendRecords(path, "B", 1, 200, 0);
  // The kill came after the first tag's switch: the others still point at
  // their older trees, which the switch left whole.
  auto bytes = ReadBytes(index_path);
  for (size_t t = 1; t < before.image.tags.size(); ++t) {
    const uint64_t at = before.image.tags[t].header_offset;
    std::copy_n(before.bytes.begin() + static_cast<long>(at), cdx ? 12 : 8, bytes.begin() + static_cast<long>(at));
  }
  WriteBytes(index_path, bytes);
  ASSERT_EQ(Read(index_path, GetParam()).image.tags[1].entries.size(), 200u);

  // (The library's reports are routed to the log by the first creation;
  // these are collected from here on.)
  Reports opening;
  DbfHandle file = OpenDbf(code.h, path, "");
  ASSERT_NE(file, nullptr);
  d4close(file);
  EXPECT_EQ(opening.Count("were missing from the index and have been added"), 1u);
  for (const auto& tag : Read(index_path, GetParam()).image.tags) EXPECT_EQ(tag.entries.size(), 400u) << tag.desc.name;
  std::ostringstream out;
  EXPECT_EQ(tidewell::tools::CheckDbf(path, out), 0) << out.str();
}

INSTANTIATE_TEST_SUITE_P(BothKinds, IndexSwitch, ::testing::Values(ix::IndexKind::kCdx, ix::IndexKind::kMdx),
                         [](const auto& p) { return p.param == ix::IndexKind::kCdx ? "Cdx" : "Mdx"; });

// ---- other processes beside a run -----------------------------------------

struct ReaderFigures {
  long passes = 0, failed = 0, wrong_keys = 0, max_lag_ms = 0, final_records = 0, final_indexed = 0;
  std::string first_problem;
};

void WriteFigures(const std::string& path, const ReaderFigures& f) {
  std::ofstream out(path);
  out << f.passes << ' ' << f.failed << ' ' << f.wrong_keys << ' ' << f.max_lag_ms << ' ' << f.final_records << ' '
      << f.final_indexed << '\n'
      << f.first_problem << '\n';
}

ReaderFigures ReadFigures(const std::string& path) {
  ReaderFigures f;
  std::ifstream in(path);
  in >> f.passes >> f.failed >> f.wrong_keys >> f.max_lag_ms >> f.final_records >> f.final_indexed;
  in.ignore();
  std::getline(in, f.first_problem);
  return f;
}

// What both readers check on one pass: every key of every tag points at a
// counted record whose key it is, and how far the index lags behind.
class KeyChecker {
 public:
  KeyChecker(const std::string& path, ReaderFigures* figures) : path_(path), figures_(figures) {}

  void Problem(const std::string& what) {
    if (figures_->first_problem.empty()) figures_->first_problem = what;
  }

  // `keys(tag)` lists a tag's entries.
  void Check(const ix::ProductionIndex& model, const std::vector<ix::TagImage>& tags) {
    std::string error;
    auto table = xbase::OsFile::Open(path_, xbase::OsFile::Access::kReadOnly, &error);
    uint8_t head[12];
    if (!table || !table->ReadAt(0, head, sizeof head)) {
      ++figures_->failed;
      Problem("table unreadable");
      return;
    }
    const uint32_t count = xbase::GetLe32(head + 4);
    const uint32_t hlen = xbase::GetLe16(head + 8), rlen = xbase::GetLe16(head + 10);
    std::vector<uint8_t> records(uint64_t{count} * rlen);
    if (!records.empty() && !table->ReadAt(hlen, records.data(), records.size())) {
      ++figures_->failed;
      Problem("records unreadable");
      return;
    }
    const auto now = Clock::now();
    while (seen_at_.size() < count) seen_at_.push_back(now);
    uint32_t covered = count;
    for (size_t t = 0; t < tags.size(); ++t) {
      uint32_t through = 0;
      for (const auto& e : tags[t].entries) {
        through = std::max(through, e.record);
        if (e.record == 0 || e.record > count) {
          ++figures_->wrong_keys;
          Problem("key of record " + std::to_string(e.record) + " beyond the " + std::to_string(count) + " counted");
          continue;
        }
        const std::span<const uint8_t> bytes(records.data() + uint64_t{e.record - 1} * rlen, rlen);
        auto key = model.KeyOf(t, ix::RawRecord(fields_, bytes, e.record));
        if (!key || *key != e.key) {
          ++figures_->wrong_keys;
          Problem("tag " + tags[t].desc.name + ": record " + std::to_string(e.record) + " has another key");
        }
      }
      covered = std::min(covered, through);
    }
    if (covered < count) {
      const auto lag = std::chrono::duration_cast<std::chrono::milliseconds>(now - seen_at_[covered]).count();
      figures_->max_lag_ms = std::max<long>(figures_->max_lag_ms, static_cast<long>(lag));
    }
    figures_->final_records = count;
    figures_->final_indexed = covered;
  }

  std::vector<ix::FieldInfo> fields_;

 private:
  std::string path_;
  ReaderFigures* figures_;
  std::vector<Clock::time_point> seen_at_;  // when the count first covered a record
};

// A legacy reader: it opens the index once, then on every pass locks it as
// those programs do, reads the change fields and, only when they moved,
// drops the pages it cached; every page it needs comes from its cache when
// it has it.
void LegacyReader(const std::string& path, const std::string& stop, const std::string& out) {
  ReaderFigures figures;
  KeyChecker checker(path, &figures);
  std::string problem;
  auto table = xbase::Table::Open(path, [] {
    xbase::TableOptions o;
    o.read_only = true;
    return o;
  }());
  const std::string index_path = *ix::FindProductionIndex(path, table->header());
  checker.fields_ = ix::FieldsOf(table->header());
  auto model = ix::ProductionIndex::Open(index_path, checker.fields_, &problem);
  std::string error;
  // Opened for writing too, as those programs open a shared index: an
  // exclusive lock needs it.
  auto file = xbase::OsFile::Open(index_path, xbase::OsFile::Access::kReadWrite, &error);
  const xbase::LockRange lock = xbase::IndexLock(xbase::IndexLockKind::kCdx);
  std::map<uint64_t, std::vector<uint8_t>> cache;
  uint8_t change[8] = {};
  bool last = false;
  while (!last) {
    last = access(stop.c_str(), F_OK) == 0;
    ++figures.passes;
    if (!file->Lock(lock.offset, lock.length, true, 10000)) {
      ++figures.failed;
      checker.Problem("index lock not had in 10 s");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    uint8_t head[12];
    auto size = file->Size();
    if (!size || !file->ReadAt(0, head, sizeof head)) {
      ++figures.failed;
      checker.Problem("index header unreadable");
    } else {
      if (!std::equal(head + 4, head + 12, change)) {
        cache.clear();
        std::copy(head + 4, head + 12, change);
      }
      std::vector<uint8_t> view(static_cast<size_t>(*size));
      bool read = true;
      for (uint64_t page = 0; read && page * 512 < *size; ++page) {
        auto it = cache.find(page);
        if (it == cache.end()) {
          std::vector<uint8_t> bytes(static_cast<size_t>(std::min<uint64_t>(512, *size - page * 512)));
          read = file->ReadAt(page * 512, bytes.data(), bytes.size());
          it = cache.emplace(page, std::move(bytes)).first;
        }
        std::copy(it->second.begin(), it->second.end(), view.begin() + static_cast<long>(page * 512));
      }
      std::copy(head, head + 12, view.begin());
      std::string why;
      auto image = read ? ix::ReadCdx(view, [&](const ix::TagDescription& d) {
        auto t = model->FindTag(d.name);
        return t ? model->tags()[*t].key_type : char{0};
      }, &why) : std::nullopt;
      if (!image) {
        ++figures.failed;
        checker.Problem("index page read failed: " + (read ? why : std::string("short read")));
      } else {
        checker.Check(*model, image->tags);
      }
    }
    file->Unlock(lock.offset, lock.length);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  WriteFigures(out, figures);
}

// Our own engine, opening the table and its index shared on every pass.
void EngineReader(const std::string& path, const std::string& stop, const std::string& out) {
  ReaderFigures figures;
  KeyChecker checker(path, &figures);
  bool last = false;
  while (!last) {
    last = access(stop.c_str(), F_OK) == 0;
    ++figures.passes;
    xbase::TableOptions options;
    options.read_only = true;
    auto table = xbase::Table::Open(path, options);
    std::string problem;
    auto index = table ? ix::ProductionIndex::Open(*ix::FindProductionIndex(path, table->header()),
                                                  ix::FieldsOf(table->header()), &problem)
                       : nullptr;
    if (!index) {
      ++figures.failed;
      checker.Problem("open failed: " + problem);
      continue;
    }
    checker.fields_ = ix::FieldsOf(table->header());
    std::vector<ix::TagImage> tags(index->tags().size());
    for (size_t t = 0; t < tags.size(); ++t) {
      tags[t].desc = index->tags()[t];
      index->Walk(t, [&](std::string_view key, uint32_t record) {
        tags[t].entries.push_back({std::string(key), record});
        return true;
      });
    }
    checker.Check(*index, tags);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  WriteFigures(out, figures);
}

template <typename Work>
pid_t Spawn(Work work) {
  pid_t pid = fork();
  if (pid == 0) {
    code4setReport([](const std::string&) {});
    work();
    _exit(0);
  }
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int PythonCount(const std::string& path, const std::string& module) {
  const std::string script = module == "dbfread"
                                 ? "import dbfread,sys; print(len(list(dbfread.DBF(sys.argv[1]))))"
                                 : "import dbf,sys; t=dbf.Table(sys.argv[1]); t.open(); print(len(t))";
  const std::string command = std::string(TIDEWELL_PYTHON) + " -I -c '" + script + "' " + path;
  std::string out;
  int n = -1;
  if (tidewell::test::RunCommand(command, &out) != 0 || std::sscanf(out.c_str(), "%d", &n) != 1) return -1;
  return n;
}

}  // namespace

TEST(Sharing, LockingReadersNeverFailNorSeeAWrongKeyWhileARunAppends) {
  ScratchDir dir;
  Reports reports;
  const std::string tpl = MakeTemplate(dir, 0xF5, true, true);
  // Records flushed a batch at a time, as a run writes them, and one at a
  // time, as a legacy appender does.
  for (const int every : {kRunBatch, 1}) {
    SCOPED_TRACE(every == 1 ? "flushed one by one" : "flushed a batch at a time");
    const std::string tag = std::to_string(every);
    const std::string path = dir / (every == 1 ? "12092605.dbf" : "12092601.dbf");
    {
      Code code;
      CreateDbfLike(code.h, tpl, path);
    }
    AppendRecords(path, "S", 0, 10, 1);
    const std::string stop = dir / (std::string("stop") + tag);
    const std::string legacy_out = dir / (std::string("legacy") + tag);
    const std::string engine_out = dir / (std::string("engine") + tag);
    pid_t legacy = Spawn([&] { LegacyReader(path, stop, legacy_out); });
    pid_t engine = Spawn([&] { EngineReader(path, stop, engine_out); });
    constexpr int kRows = 20000;
    const auto start = Clock::now();
    AppendRecords(path, "RUN", 1, kRows, every, every == 1 ? std::chrono::milliseconds{} : kMarksOfABatch);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    WriteBytes(stop, {});
    EXPECT_EQ(Wait(legacy), 0);
    EXPECT_EQ(Wait(engine), 0);
    for (const auto& [who, out] : {std::pair{"legacy reader", legacy_out}, std::pair{"engine reader", engine_out}}) {
      const ReaderFigures f = ReadFigures(out);
      std::printf("%s: %ld passes while %d records were appended (flushed every %d) in %.1f s; %ld failed, "
                  "%ld wrong keys, keys at most %ld ms behind their records\n",
                  who, f.passes, kRows, every, seconds, f.failed, f.wrong_keys, f.max_lag_ms);
      EXPECT_GT(f.passes, 10) << who;
      EXPECT_EQ(f.failed, 0) << who << ": " << f.first_problem;
      EXPECT_EQ(f.wrong_keys, 0) << who << ": " << f.first_problem;
      // Keys are written at least once a second; a busy machine adds some.
      EXPECT_LT(f.max_lag_ms, 5000) << who;
      EXPECT_EQ(f.final_records, kRows + 10) << who;
      EXPECT_EQ(f.final_indexed, f.final_records) << who << ": the last pass saw records without keys";
    }
    std::ostringstream out;
    EXPECT_EQ(tidewell::tools::CheckDbf(path, out), 0) << out.str();
  }
}

TEST(Sharing, AnotherWriterAppendingBesideARunKeepsEveryRecordOfBothOnceAndIndexed) {
  ScratchDir dir;
  Reports reports;
  for (uint8_t version : {uint8_t{0xF5}, uint8_t{0x8B}}) {
    SCOPED_TRACE(version == 0xF5 ? "FoxPro, .cdx" : "dBASE IV, .mdx");
    const std::string tpl = MakeTemplate(dir, version, true, true, version == 0xF5 ? "fox.dbf" : "db4.dbf");
    const std::string path = dir / (version == 0xF5 ? "12092602.dbf" : "12092603.dbf");
    {
      Code code;
      CreateDbfLike(code.h, tpl, path);
    }
    constexpr int kOurs = 5000, kTheirs = 2000;
    pid_t other = Spawn([&] { AppendRecords(path, "PEER", 1, kTheirs, 1); });
    AppendRecords(path, "MAIN", 1, kOurs, kRunBatch, kMarksOfABatch);
    EXPECT_EQ(Wait(other), 0);

    xbase::TableOptions options;
    options.read_only = true;
    auto table = xbase::Table::Open(path, options);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->record_count(), uint32_t{kOurs + kTheirs});
    std::set<std::string> names;
    size_t deleted = 0;
    const int name = table->FindField("NAME");
    for (uint32_t r = 1; r <= table->record_count(); ++r) {
      ASSERT_TRUE(table->Go(r));
      deleted += table->deleted() ? 1 : 0;
      std::string value = table->Value(name);
      while (!value.empty() && value.back() == ' ') value.pop_back();
      EXPECT_TRUE(names.insert(value).second) << "record " << r << " twice: " << value;
    }
    EXPECT_EQ(deleted, 0u);
    EXPECT_EQ(names.size(), size_t{kOurs + kTheirs});
    EXPECT_TRUE(names.count("MAIN000001") && names.count("MAIN005000") && names.count("PEER000001") &&
                names.count("PEER002000"));
    table.reset();
    std::ostringstream out;
    EXPECT_EQ(tidewell::tools::CheckDbf(path, out), 0) << out.str();
    EXPECT_EQ(PythonCount(path, "dbfread"), kOurs + kTheirs);
    // python3-dbf reads no dBASE IV table with memos.
    if (version == 0xF5) {
      EXPECT_EQ(PythonCount(path, "dbf"), kOurs + kTheirs);
    }
  }
}

TEST(Sharing, RecordsAnotherProgramAppendedWithoutTheIndexAreIndexedByTheNextAppend) {
  ScratchDir dir;
  Reports reports;
  const std::string tpl = MakeTemplate(dir, 0xF5, false, true);
  const std::string path = dir / "12092604.dbf";
  Code code;
  CreateDbfLike(code.h, tpl, path);
  DbfHandle file = OpenDbf(code.h, path, "");
  ASSERT_NE(file, nullptr);
  auto ours = [&](const char* name) {
    ASSERT_EQ(d4appendBlank(file), r4success);
    AssignDbfField(file, "NAME", name);
    ASSERT_EQ(d4flush(file), r4success);
  };
  ours("OURS1");
  {
    // A program with the table open but not its index appends two records
    // under the header lock, as its flavour's programs do.
    std::string error;
    auto other = xbase::OsFile::Open(path, xbase::OsFile::Access::kReadWrite, &error);
    ASSERT_TRUE(other->Lock(kHigh, 1, true, 1000));
    uint8_t head[12];
    ASSERT_TRUE(other->ReadAt(0, head, sizeof head));
    const uint32_t count = xbase::GetLe32(head + 4), hlen = xbase::GetLe16(head + 8), rlen = xbase::GetLe16(head + 10);
    std::vector<uint8_t> records(2 * rlen, ' ');
    std::copy_n("THEIRS1", 7, records.begin() + 1);
    std::copy_n("THEIRS2", 7, records.begin() + rlen + 1);
    records.push_back(0x1A);
    ASSERT_TRUE(other->WriteAt(hlen + uint64_t{count} * rlen, records.data(), records.size()));
    uint8_t new_count[4];
    xbase::PutLe32(new_count, count + 2);
    ASSERT_TRUE(other->WriteAt(4, new_count, 4));
    other->Unlock(kHigh, 1);
  }
  ours("OURS2");
  d4close(file);
  const Snapshot index = Read(PathOf(path, ".cdx"), ix::IndexKind::kCdx);
  for (const auto& tag : index.image.tags) EXPECT_EQ(tag.entries.size(), 4u) << tag.desc.name;
  std::ostringstream out;
  EXPECT_EQ(tidewell::tools::CheckDbf(path, out), 0) << out.str();
}
