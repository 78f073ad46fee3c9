// TMarks: the append-then-mark step of a run. Every row becomes one record,
// and the record's number becomes the row's mark.
//
// A row's states, and what moves it on:
//  - written: Append gives the row a record of the open file (assigned, in
//    the engine's memory). A record the file would not take (another
//    program keeps it locked) or that could not be filled (a memo not
//    stored) is taken back at once and the rest of its group waits for the
//    next run (SkipGroup); one that can't be taken back ends the run.
//  - noted: the journal holds the row's key, file, record number and the
//    record's fingerprint before the record reaches the file, so a crash
//    never leaves a row marked whose copy is missing. A note that can't be
//    written: the record is taken back and the run ends.
//  - sent: the records of a batch reach their file together, then one
//    statement marks their rows and one select reads the marks back (two
//    round trips a batch). A batch goes when it holds BatchRows records,
//    when the journal's batch is due for its commit, and before its file is
//    closed or the next slice of rows is selected (Finish), so a batch
//    never spans two files. A write of the batch that failed ends the run
//    with its notes.
//  - marked: the read-back finds the row holding its record's number, or
//    the number an earlier record of its key got (rows that share machine
//    and rec_num are all marked by the first of them; a line says so). The
//    mark is held in the open transaction (TJournalRun::Marked).
//  - refused: the read-back finds anything else (no row: gone; unconverted;
//    another converter's number, for a mark only takes a row still
//    unconverted). The refused row's record and every later record of the
//    batch are taken back and the later ones written again, so the file
//    reads as if the refused row had never been copied and each later
//    record has the number the one before it had; the marks those rows
//    already got (Holds) are corrected by the next statement, before
//    anything is committed. A statement for many rows that fails (a trigger
//    or a lock wait refusing one row fails them all) is sent again a row at
//    a time, so that only the refused row is refused. A refusal the server
//    gives every row ends the run, its batch taken back.
//  - taken back: the record is undone in its file and its note settled
//    (TJournalRun::Dropped): the row is unconverted, as if never copied.
//  - rolled back: the server threw the open transaction away (a deadlock),
//    or the marks can't follow their records (a moved record's row refused
//    its new number; a record could not be taken back or written again
//    after a refusal), so the marks since the last commit can't stand
//    (TJournalRun::RolledBack, Abandon): the records stay, the run ends,
//    and the notes let the next run settle each row.
//  - unknown: the link is gone or the marks can't be read back: the records
//    stay, the run ends, and their notes tell the next run.
//  - settled: TJournalRun::Commit puts the journal and the files on disk,
//    commits the marks and settles their notes; the next run finds each row
//    in exactly one record whatever interrupts this one.
// What one read-back says of a row's mark is decided in one place,
// ReadingOf, for the run and for the next run's recovery alike.
//
// Contract: one file at a time; Append takes the file the run has open and
// Finish settles its batch before the run closes or changes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/RowKey.h"
#include "dbf/CodeBase.h"

namespace tidewell {

class TODBCStatement;
class TJournalRun;

// What a read-back of a row's mark says of the record `recNo` the row was
// copied to.
enum TMarkState {
  msOwn,          // a row of the key holds recNo: the record is its copy
  msTwin,         // it holds the mark an earlier record of its key got (rows
                  // that share machine and rec_num are marked together)
  msElsewhere,    // it holds another number: someone else's mark
  msUnconverted,  // it holds no mark (NULL or 0)
  msGone,         // no row has the key
  msFailed,       // the read-back failed (statement or data error)
  msLinkLost,     // the link to the server is gone: nothing is known
};
struct TMarkReading {
  TMarkState State = msFailed;
  // Rows of the key holding recNo (more than one: rows share the key).
  int Own = 0;
  // Whether a row of the key is unconverted, and the first number another
  // gave a row of it (0: none); both said whatever State is.
  bool AnyUnconverted = false;
  std::int32_t Other = 0;
};
// The marks the rows of one key hold (ReadRowMarks), or its one row's
// (ReadRowMark). `twin`: the mark an earlier record of the key got (0 when
// none), which the key's rows hold when they were marked with it. The
// order: own, twin, elsewhere, unconverted, gone.
TMarkReading ReadingOf(TReadBackState state, const std::vector<std::int32_t>& marks, long recNo,
                       std::int32_t twin = 0);
TMarkReading ReadingOf(const TReadBack& back, long recNo);

class TMarks {
 public:
  // What one row becomes: the texts of its record and how to name it.
  struct TFieldText {
    std::string Name, Text;
  };
  struct TCopy {
    std::vector<TFieldText> Texts;
    TRowKey Key;
    std::string Path;
    long RecNo = 0;
    const FIELD4INFO* Fields = nullptr;  // the file's, for its note
    std::uint64_t Seq = 0;               // its note in the journal
    // The mark this run gave the row before its record moved to RecNo
    // (0: none yet).
    std::int32_t Holds = 0;
  };
  // What the run wants to hear as rows go by (seams for tests), and the
  // size of a batch.
  struct TSeams {
    // Records whose marks go to the server together; a statement takes at
    // most MaxMarksPerStatement of them.
    int BatchRows = MaxMarksPerStatement;
    // After each record is written, before its mark is sent.
    std::function<void()> RecordWritten;
    // Once for each row whose mark is settled, in row order.
    std::function<void()> RowSettled;
  };
  TMarks(TODBCStatement& update, const std::string& table, TJournalRun& journal, TSeams seams);
  TMarks(const TMarks&) = delete;
  TMarks& operator=(const TMarks&) = delete;

  // The copy of the current row for the open file's fields. (Read and Fill
  // are the conversion's rules for a row's texts: Convert.cpp.)
  static TCopy Read(TODBCStatement& row, const TRowKey& key, DbfHandle file, const FIELD4INFO* fields,
                    const std::string& path);
  // Assigns the copy's texts to the current record of `file`, as the
  // conversion stores them. False when a memo could not be stored.
  // With `table`, a number too wide for its field is logged with its row.
  static bool Fill(DbfHandle file, const TCopy& copy, const std::string* table = nullptr);

  // Writes the copy into the file; a full batch (or one old enough to
  // commit) has its marks sent and settled. False when the run must end.
  bool Append(TCopy copy, DbfHandle file);
  // Sends the marks still waiting and settles them. False when the run
  // must end.
  bool Finish();
  // Forgets the file: the run closes it itself.
  void Detach() { FFile = nullptr; }
  // Records appended and kept in the files: rows copied, whether or not
  // their marks are committed in the end (TJournalRun::MarksCommitted).
  int RecordsKept = 0;
  int LeftInSet = 0;  // rows refused that are still unconverted
  // Set with a false Append when only the row's group must end: its
  // record was not kept (a memo not stored, a file locked by another
  // program); the run goes on with the next group.
  bool SkipGroup = false;

 private:
  bool Write(TCopy& copy);
  static std::string OverflowLine(const std::string& table, const TCopy& copy, const std::string& field,
                                  const std::string& value);
  bool Settle();
  bool Round(size_t n);
  // Takes every record of the batch back, last first.
  bool TakeBack();
  void Settled(const TCopy& copy);
  void RowSettled() const {
    if (FSeams.RowSettled) FSeams.RowSettled();
  }
  TODBCStatement& FUpdate;
  std::string FTable;
  TJournalRun& FJournal;
  TSeams FSeams;
  DbfHandle FFile = nullptr;
  // Written and noted, marks not settled: the last records of FFile.
  std::vector<TCopy> FBatch;
  // After a statement for many rows failed: the rest of the batch goes
  // one row at a time, so that only the refused row is refused.
  bool FOneByOne = false;
  // The file's count of failed writes when the batch began.
  unsigned FWriteFailures = 0;
  bool FRunEnds = false;  // a failed write that ends the run, not only its group
  // Keys whose mark took several rows at once (rows sharing machine and
  // rec_num), with the mark they got (TRowKey::Text names a key).
  std::map<std::string, int> FSharedKeys;
  bool FNoteFailed = false;  // that write was the journal's
};

}  // namespace tidewell
