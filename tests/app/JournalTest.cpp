// The intent journal on its own: what one run writes, the next one reads
// back whole, whatever a crash did to the end of the file, and a damaged
// line costs that line only.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/Journal.h"
#include "tests/support/JournalNotes.h"
#include "tests/support/TempDir.h"

using namespace tidewell;
using tidewell::test::ReadFile;
using tidewell::test::TTempDir;
using tidewell::test::WriteFile;

namespace {

TJournalEntry Entry(int machine, const std::string& recNum, long recNo) {
  return test::NumberKeyNote(machine, recNum, "/share/netw/weight/0305040" + std::to_string(recNo % 10) + ".dbf", recNo,
                             0x9e3779b97f4a7c15ull ^ static_cast<std::uint64_t>(recNo));
}

void ExpectSame(const TJournalEntry& a, const TJournalEntry& b) {
  EXPECT_EQ(a.Seq, b.Seq);
  EXPECT_EQ(a.Table, b.Table);
  EXPECT_EQ(a.Key.Machine, b.Key.Machine);
  EXPECT_EQ(a.Key.MachineNull, b.Key.MachineNull);
  EXPECT_EQ(a.Key.MachineValue, b.Key.MachineValue);
  EXPECT_EQ(a.Key.MachineIsText, b.Key.MachineIsText);
  EXPECT_EQ(a.Key.RecNum, b.Key.RecNum);
  EXPECT_EQ(a.Key.RecNumIsText, b.Key.RecNumIsText);
  EXPECT_EQ(a.File, b.File);
  EXPECT_EQ(a.RecNo, b.RecNo);
  EXPECT_EQ(a.Fingerprint, b.Fingerprint);
}

class Journal : public ::testing::Test {
 protected:
  TTempDir Dir;
  std::string Path = Dir.File("journal/weight.jnl");
};

}  // namespace

TEST_F(Journal, WhatOneRunNotesTheNextReadsBackWithEveryKindOfRowKey) {
  std::vector<TJournalEntry> noted;
  {
    TJournal j(Path);
    ASSERT_TRUE(j.Load());  // no file yet: empty, and the folder is made on the first write
    ASSERT_TRUE(j.FileOpened("/share/netw/weight/my file%.dbf"));
    // Keys as real tables hold them: blanks, the escape character itself,
    // line ends, an empty text, bytes of a multibyte text, negative machines.
    for (const auto& [machine, recNum] : std::vector<std::pair<int, std::string>>{
             {7, "1234"}, {0, "a b\tc"}, {-3, "100%"}, {12, "line\nend\r"}, {2147483647, ""}, {-2147483647 - 1, "M\xc3\xbcller"}}) {
      TJournalEntry e = Entry(machine, recNum, static_cast<long>(noted.size()) + 1);
      // And the kinds of key columns: a NULL machine, text columns.
      e.Key.MachineNull = machine == 0;
      e.Key.MachineValue = machine == 0 ? "" : e.Key.MachineValue;
      e.Key.MachineIsText = machine < 0;
      e.Key.RecNumIsText = noted.size() % 2 == 1;
      ASSERT_TRUE(j.Note(e));
      noted.push_back(e);
    }
    ASSERT_TRUE(j.Settle({noted[1].Seq, 999}));  // an unknown number is ignored
    ASSERT_TRUE(j.FileOpened("/b.dbf"));
    ASSERT_TRUE(j.FileClosed("/b.dbf"));
  }
  TJournal next(Path);
  ASSERT_TRUE(next.Load());
  EXPECT_TRUE(next.DamagedLines.empty());
  EXPECT_FALSE(next.TornTail);
  const auto pending = next.Pending();
  ASSERT_EQ(pending.size(), 5u);
  ExpectSame(pending[0], noted[0]);
  for (size_t i = 1; i < pending.size(); ++i) ExpectSame(pending[i], noted[i + 1]);
  EXPECT_EQ(next.OpenFiles(), std::vector<std::string>{"/share/netw/weight/my file%.dbf"});

  // Numbers go on from where the file left them: a new note never takes
  // the number of an old one, whose "settled" line would then settle it.
  TJournalEntry more = Entry(1, "9", 9);
  ASSERT_TRUE(next.Note(more));
  EXPECT_GT(more.Seq, noted.back().Seq);
}

TEST_F(Journal, ALineCutShortByACrashIsIgnoredAndTheNextWriteStartsAfterIt) {
  TJournalEntry first = Entry(7, "1", 1), second = Entry(7, "2", 2);
  {
    TJournal j(Path);
    ASSERT_TRUE(j.Note(first));
    ASSERT_TRUE(j.Note(second));
  }
  const std::string whole = ReadFile(Path);
  const size_t secondStart = whole.find('\n') + 1;
  // Every length the second line may have been cut to, the line end included.
  for (size_t cut = secondStart + 1; cut < whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    WriteFile(Path, whole.substr(0, cut));
    TJournal j(Path);
    ASSERT_TRUE(j.Load());
    EXPECT_TRUE(j.TornTail);
    EXPECT_FALSE(j.LongTornTail);  // what one write cut short leaves
    EXPECT_FALSE(j.CutShort());
    EXPECT_TRUE(j.DamagedLines.empty());
    ASSERT_EQ(j.Pending().size(), 1u);
    ExpectSame(j.Pending()[0], first);
    // The torn bytes go before the next line is added.
    TJournalEntry third = Entry(8, "3", 3);
    ASSERT_TRUE(j.Note(third));
    TJournal again(Path);
    ASSERT_TRUE(again.Load());
    EXPECT_FALSE(again.TornTail);
    EXPECT_TRUE(again.DamagedLines.empty());
    ASSERT_EQ(again.Pending().size(), 2u);
    ExpectSame(again.Pending()[1], third);
  }
}

TEST_F(Journal, ADamagedLineCostsThatLineOnlyAndIsReported) {
  std::vector<TJournalEntry> noted;
  {
    TJournal j(Path);
    for (int i = 1; i <= 3; ++i) {
      TJournalEntry e = Entry(7, std::to_string(i), i);
      ASSERT_TRUE(j.Note(e));
      noted.push_back(e);
    }
  }
  std::string text = ReadFile(Path);
  const size_t line2 = text.find('\n') + 1;
  // A bit flipped in the middle of the second line's payload.
  text[line2 + 20] = static_cast<char>(text[line2 + 20] ^ 0x04);
  WriteFile(Path, text);
  {
    TJournal j(Path);
    ASSERT_TRUE(j.Load());
    EXPECT_EQ(j.DamagedLines, std::vector<int>{2});
    ASSERT_EQ(j.Pending().size(), 2u);
    ExpectSame(j.Pending()[0], noted[0]);
    ExpectSame(j.Pending()[1], noted[2]);
  }
  // Lines with a right checksum but no sense in them, and lines of no form
  // at all, are damage too; a payload the checksum vouches for is believed
  // only when every field parses.
  WriteFile(Path, TJournal::Line("N 1 7 - 7 x /f.dbf 0 00") + TJournal::Line("N 2 seven - 7 x /f.dbf 1 00") +
                      TJournal::Line("Q 3") + TJournal::Line("N 4 7 - 7 bad%zz /f.dbf 1 00") + "garbage\n\n" +
                      "deadbeef N 5 7 - 7 1 /f.dbf 1 00\n" + TJournal::Line("N 6 7 q 7 1 /f.dbf 1 00") +
                      TJournal::Line("N 7 2147483648 - 7 1 /f.dbf 1 00") + TJournal::Line("N 8 7 nr % 1 /f.dbf 1 00"));
  TJournal j(Path);
  ASSERT_TRUE(j.Load());
  EXPECT_EQ(j.DamagedLines, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  ASSERT_EQ(j.Pending().size(), 1u);
  EXPECT_EQ(j.Pending()[0].Seq, 8u);
  EXPECT_TRUE(j.Pending()[0].Key.MachineNull);
  EXPECT_TRUE(j.Pending()[0].Key.RecNumIsText);
}

TEST_F(Journal, CompactingKeepsExactlyWhatIsLiveAndEmptiesASettledJournal) {
  TJournal j(Path);
  std::vector<std::uint64_t> settled;
  TJournalEntry keep;
  ASSERT_TRUE(j.FileOpened("/open.dbf"));
  for (int i = 1; i <= 200; ++i) {
    TJournalEntry e = Entry(i % 5, std::to_string(i), i);
    ASSERT_TRUE(j.Note(e));
    if (i == 150)
      keep = e;
    else
      settled.push_back(e.Seq);
  }
  ASSERT_TRUE(j.Settle(settled));
  const auto before = j.Bytes();
  EXPECT_TRUE(j.Compact());  // small: left as it is
  EXPECT_EQ(j.Bytes(), before);
  ASSERT_TRUE(j.Compact(true));
  EXPECT_EQ(ReadFile(Path), TJournal::Line("O /open.dbf") + TJournal::Line("N " + std::to_string(keep.Seq) + " weight 0 - 0 150 " +
                                                                          keep.File + " 150 " + "9e3779b97f4a7c83"));
  EXPECT_FALSE(std::filesystem::exists(Path + ".new"));
  // Still appendable after the swap.
  TJournalEntry later = Entry(1, "201", 201);
  ASSERT_TRUE(j.Note(later));
  TJournal read(Path);
  ASSERT_TRUE(read.Load());
  ASSERT_EQ(read.Pending().size(), 2u);
  ExpectSame(read.Pending()[0], keep);

  ASSERT_TRUE(j.Settle({keep.Seq, later.Seq}));
  ASSERT_TRUE(j.FileClosed("/open.dbf"));
  ASSERT_TRUE(j.Compact(true));
  EXPECT_EQ(ReadFile(Path), "");
}

// Each note names its table; an older journal's notes, without one, are
// the journal's own table's, and both kinds read back side by side.
TEST_F(Journal, NotesNameTheirTableAndOlderNotesBelongToTheJournalsTable) {
  TJournalEntry own = Entry(7, "1", 1), other = Entry(7, "2", 2);
  other.Table = "action";
  {
    TJournal j(Path);
    ASSERT_TRUE(j.Note(own));
    ASSERT_TRUE(j.Note(other));
  }
  EXPECT_EQ(own.Table, "weight");
  const std::string old = TJournal::Line("N 3 7 - 7 3 /share/netw/weight/03050403.dbf 3 00000000000000ff");
  WriteFile(Path, ReadFile(Path) + old);
  TJournal j(Path);
  ASSERT_TRUE(j.Load());
  EXPECT_TRUE(j.DamagedLines.empty());
  ASSERT_EQ(j.Pending().size(), 3u);
  ExpectSame(j.Pending()[0], own);
  ExpectSame(j.Pending()[1], other);
  EXPECT_EQ(j.Pending()[2].Table, "weight");
  EXPECT_EQ(j.Pending()[2].Key.RecNum, "3");
  EXPECT_EQ(TJournal(Dir.File("action.jnl")).Table(), "action");

  // Set aside: copied whole beside the journal, and no longer pending.
  ASSERT_TRUE(j.SetAside({j.Pending()[1]}));
  EXPECT_EQ(ReadFile(j.AsidePath()), ReadFile(Path).substr(ReadFile(Path).find('\n') + 1, ReadFile(Path).find('\n', ReadFile(Path).find('\n') + 1) - ReadFile(Path).find('\n')));
  TJournal again(Path);
  ASSERT_TRUE(again.Load());
  ASSERT_EQ(again.Pending().size(), 2u);
  EXPECT_EQ(again.Pending()[1].Key.RecNum, "3");
}

// A journal shorter than the size it had on disk lost its end, and a tail
// longer than any of its lines is no write cut short: both are told apart
// from what a crash leaves, and a journal the program itself shrinks never
// looks cut.
TEST_F(Journal, AJournalCutShortIsToldApartFromACrashsTornLine) {
  {
    TJournal j(Path);
    for (int i = 1; i <= 40; ++i) {
      TJournalEntry e = Entry(7, std::to_string(i), i);
      ASSERT_TRUE(j.Note(e));
    }
    ASSERT_TRUE(j.Sync());  // the size it has on disk is known from here on
    TJournalEntry unsynced = Entry(7, "41", 41);
    ASSERT_TRUE(j.Note(unsynced));
  }
  const std::string whole = ReadFile(Path);
  const size_t line = whole.find('\n') + 1;
  {
    TJournal j(Path);  // longer than known: notes written since the last flush
    ASSERT_TRUE(j.Load());
    EXPECT_FALSE(j.CutShort());
    EXPECT_EQ(j.Pending().size(), 41u);
  }
  WriteFile(Path, whole.substr(0, whole.size() / 2));
  {
    TJournal j(Path);
    ASSERT_TRUE(j.Load());
    EXPECT_TRUE(j.CutShort());
    EXPECT_EQ(j.KnownBytes, whole.rfind('\n', whole.size() - 2) + 1);  // up to the last note's line
    EXPECT_EQ(j.Bytes(), whole.size() / 2);
    EXPECT_FALSE(j.LongTornTail);  // the cut left a part of one line: only the size tells
    ASSERT_TRUE(j.RememberSize());  // reported once
  }
  {
    TJournal j(Path);
    ASSERT_TRUE(j.Load());
    EXPECT_FALSE(j.CutShort());
  }
  // Lines run together without their ends (a copy that mangled them).
  std::string joined = whole.substr(0, line);
  for (size_t at = line; at < whole.size(); ++at)
    if (whole[at] != '\n') joined += whole[at];
  WriteFile(Path, joined);
  {
    TJournal j(Path);
    ASSERT_TRUE(j.Load());
    EXPECT_TRUE(j.TornTail);
    EXPECT_TRUE(j.LongTornTail);
    EXPECT_GT(j.TornBytes, 1000u);
    // Compacting shrinks it; the known size goes down first.
    ASSERT_TRUE(j.Compact(true));
  }
  TJournal j(Path);
  ASSERT_TRUE(j.Load());
  EXPECT_FALSE(j.CutShort());
  EXPECT_FALSE(j.TornTail);
  EXPECT_EQ(j.Pending().size(), 1u);
  ASSERT_TRUE(j.Settle({j.Pending()[0].Seq}));
  ASSERT_TRUE(j.Compact(true));
  EXPECT_EQ(ReadFile(Path), "");
  TJournal empty(Path);
  ASSERT_TRUE(empty.Load());
  EXPECT_FALSE(empty.CutShort());
}

// Gone altogether, after it had notes on disk: cut to nothing.
TEST_F(Journal, AJournalGoneAfterItHadNotesIsCutShort) {
  {
    TJournal k(Path);
    TJournalEntry e = Entry(7, "1", 1);
    ASSERT_TRUE(k.Note(e));
    ASSERT_TRUE(k.Sync());
  }
  std::filesystem::remove(Path);
  TJournal gone(Path);
  ASSERT_TRUE(gone.Load());
  EXPECT_TRUE(gone.CutShort());
}

TEST_F(Journal, AJournalThatCannotBeReadOrWrittenSaysSo) {
  // A folder where the file should be: nothing can be known about it.
  std::filesystem::create_directories(Path);
  TJournal j(Path);
  EXPECT_FALSE(j.Load());
  TJournalEntry e = Entry(1, "1", 1);
  EXPECT_FALSE(j.Note(e));
}

TEST(JournalFormat, ChecksumsAndFingerprintsTellApartWhatTheyMust) {
  EXPECT_EQ(TJournal::Crc32("123456789"), 0xCBF43926u);  // the published check value
  EXPECT_EQ(TJournal::Crc32(""), 0u);
  std::string payload;
  EXPECT_TRUE(TJournal::Payload(TJournal::Line("S 12").substr(0, 13), payload));
  EXPECT_EQ(payload, "S 12");
  // Where one text ends and the next begins is part of the fingerprint.
  EXPECT_NE(FieldsFingerprint({"ab", "c"}), FieldsFingerprint({"a", "bc"}));
  EXPECT_NE(FieldsFingerprint({"a", ""}), FieldsFingerprint({"a"}));
  EXPECT_NE(FieldsFingerprint({"12", "7"}), FieldsFingerprint({"7", "12"}));
  // 64-bit FNV-1a of "x\0y\0" and of nothing: the notes on disk hold these
  // values, so a changed hash would leave every earlier note unsettled.
  EXPECT_EQ(FieldsFingerprint({"x", "y"}), 0x4b03025278bc8cfcull);
  EXPECT_EQ(FieldsFingerprint({}), 0xcbf29ce484222325ull);
}
