// The append-then-mark step of a run: the row's states are atop Marks.h.
#include "app/Marks.h"

#include <algorithm>
#include <set>
#include <utility>

#include "app/JournalRun.h"
#include "common/Format.h"
#include "dbf/mycbase.h"
#include "logging/MessLog.h"
#include "odbc/Connection.h"
#include "odbc/Statement.h"

namespace tidewell {

namespace {

void LogNow(const std::string& text) {
  if (MainLog) MainLog->Flush(text);
}

}  // namespace

TMarkReading ReadingOf(TReadBackState state, const std::vector<std::int32_t>& marks, long recNo, std::int32_t twin) {
  TMarkReading r;
  if (state == rbLinkLost || state == rbFailed) {
    r.State = state == rbLinkLost ? msLinkLost : msFailed;
    return r;
  }
  bool twinFound = false;
  for (const auto m : marks) {
    if (m == recNo) {
      ++r.Own;
    } else if (m == 0) {
      r.AnyUnconverted = true;
    } else {
      if (twin != 0 && m == twin) twinFound = true;
      if (r.Other == 0) r.Other = m;
    }
  }
  if (r.Own > 0)
    r.State = msOwn;
  else if (twinFound)
    r.State = msTwin;
  else if (r.Other != 0)
    r.State = msElsewhere;
  else
    r.State = r.AnyUnconverted ? msUnconverted : msGone;
  return r;
}

TMarkReading ReadingOf(const TReadBack& back, long recNo) {
  return ReadingOf(back.State, back.State == rbFound ? std::vector<std::int32_t>{back.Convtd}
                                                     : std::vector<std::int32_t>{},
                   recNo);
}

TMarks::TMarks(TODBCStatement& update, const std::string& table, TJournalRun& journal, TSeams seams)
    : FUpdate(update), FTable(table), FJournal(journal), FSeams(std::move(seams)) {}

bool TMarks::Append(TCopy copy, DbfHandle file) {
  FFile = file;
  if (FBatch.empty()) FWriteFailures = d4writeFailures(FFile);
  if (!Write(copy)) {
    // The record is not kept: taken back when it was appended, its row stays
    // unmarked and so do the rest of its group; the next group goes on. One
    // that can't be taken back may be on disk: the run ends.
    const bool takenBack = copy.RecNo <= 0 || d4appendUndo(FFile) == r4success;
    if (FNoteFailed)
      LogNow(Format("Journal %s can't be written (%s); the record of rec_num=%s of %s was not kept and the row stays "
                    "unconverted, run ended",
                    FJournal.Journal().Path(), FJournal.Journal().LastError(), copy.Key.RecNum, FTable));
    else if (takenBack && !FRunEnds)
      LogNow(Format("Could not write a record of %s; rec_num=%s of %s and the rest of its group stay unconverted",
                    copy.Path, copy.Key.RecNum, FTable));
    else
      LogNow(Format("Could not write a record of %s; rec_num=%s of %s stays unconverted, run ended", copy.Path,
                    copy.Key.RecNum, FTable));
    SkipGroup = Settle() && takenBack && !FRunEnds;
    return false;
  }
  FBatch.push_back(std::move(copy));
  ++RecordsKept;
  if (FSeams.RecordWritten) FSeams.RecordWritten();
  const bool due = FJournal.Due();
  if (static_cast<int>(FBatch.size()) < FSeams.BatchRows && !due) return true;
  if (!Settle()) return false;
  if (due && !FJournal.Commit()) {
    LogNow(Format("Marks of %s could not be committed; the next run settles them, run ended", FTable));
    return false;
  }
  return true;
}

bool TMarks::Write(TCopy& copy) {
  d4appendBlank(FFile);
  const bool stored = Fill(FFile, copy, &FTable);
  copy.RecNo = d4recNo(FFile);
  if (copy.RecNo <= 0 || !stored) return false;
  // The record is still in memory: noted first, then written.
  if (!FJournal.Note(FFile, copy.Fields, copy.Key, copy.Path, copy.RecNo, copy.Seq)) {
    d4appendUndo(FFile);
    copy.RecNo = 0;  // taken back already
    FRunEnds = FNoteFailed = true;
    return false;
  }
  // The engine gathers the records of a batch and writes them together,
  // under one lock of the file, when Round flushes them.
  return true;
}

void TMarks::Settled(const TCopy& copy) {
  FJournal.Marked(copy.Seq);
  RowSettled();
}

bool TMarks::TakeBack() {
  while (!FBatch.empty()) {
    if (d4appendUndo(FFile) != r4success) return false;
    FJournal.Dropped(FBatch.back().Seq);
    --RecordsKept;
    FBatch.pop_back();
  }
  return true;
}

bool TMarks::Settle() {
  FOneByOne = false;
  const size_t most = static_cast<size_t>(std::clamp(FSeams.BatchRows, 1, MaxMarksPerStatement));
  while (!FBatch.empty())
    if (!Round(FOneByOne ? 1 : std::min(FBatch.size(), most))) return false;
  return true;
}

// One statement for the first n records of the batch, and what came of it:
// those settled leave the batch; after a refusal, the records that were
// written again stay in it for the next round. False when the run must end.
bool TMarks::Round(size_t n) {
  // Copies: the batch changes under a refusal.
  const std::string path = FBatch.front().Path;
  const std::string headRecNum = FBatch.front().Key.RecNum;
  const auto records = [&](size_t count) {
    return count == 1 ? Format("record %d", static_cast<int>(FBatch.front().RecNo))
                      : Format("records %d to %d", static_cast<int>(FBatch.front().RecNo),
                               static_cast<int>(FBatch[count - 1].RecNo));
  };
  // Whatever the marks' fate, the records stay for the next run's notes.
  const auto unknown = [&](const std::string& what) {
    LogNow(Format("%s; %s kept in %s, run ended", what, records(FBatch.size()), path));
    return false;
  };
  // Records reach the file before their marks leave. A write of the engine
  // that failed since the batch began (it writes on its own when a batch
  // of appends grows old) lost records whose numbers later ones took: no
  // number of the batch can be trusted, and its notes tell the next run.
  if (d4flush(FFile) != r4success || d4writeFailures(FFile) != FWriteFailures) {
    LogNow(Format("Could not write %s of %s; their rows stay unconverted until the next run settles them, run ended",
                  records(FBatch.size()), path));
    return false;
  }
  const std::string rows =
      n == 1 ? Format("Update of %s rec_num=%s", FTable, headRecNum)
             : Format("Marks of %d rows of %s (rec_num=%s to %s)", static_cast<int>(n), FTable, headRecNum,
                      FBatch[n - 1].Key.RecNum);

  // One request per key: rows an earlier record of their key marked
  // already (in this round, or with an earlier batch) are only read back.
  std::vector<TMarkRequest> requests;
  std::vector<std::string> keys(n);
  std::set<std::string> asked;
  for (size_t i = 0; i < n; ++i) {
    const TCopy& c = FBatch[i];
    keys[i] = c.Key.Text();
    if ((c.Holds == 0 && FSharedKeys.count(keys[i])) || !asked.insert(keys[i]).second) continue;
    requests.push_back({&c.Key, c.RecNo, c.Holds});
  }
  TMarkResult result;
  result.Executed = true;
  result.Rows = 0;
  if (!requests.empty()) result = MarkRows(FUpdate, FTable, requests);
  TODBC* odbc = FUpdate.Connection;
  if (!result.Executed) {
    if (!odbc || odbc->ConnectionLost) return unknown(rows + " got no answer (link to the server lost)");
    // A refusal may have cost the whole open transaction (a deadlock does
    // that): the latest accepted mark tells. Then the marks of the batch
    // are gone while their records stay, and only the next run, settling
    // their notes first, can tell them apart from rows still to copy.
    TJournalEntry last;
    if (FJournal.LastMarked(last)) {
      const TMarkState held = ReadingOf(ReadRowMark(FUpdate, FTable, last.Key), last.RecNo).State;
      if (held == msLinkLost) return unknown(rows + " got no answer (link to the server lost)");
      if (held != msOwn) {
        FJournal.RolledBack();
        LogNow(Format("Update of %s rec_num=%s failed and took the earlier marks of the batch with it; run ended",
                      FTable, headRecNum));
        return false;
      }
    }
    // A refusal the server gives every row ends the run here: each further
    // row would be copied, refused and taken back again, lines for every
    // row every cycle. The batch's records go.
    if (odbc && RefusedForEveryRow(result, odbc->DriverKind, odbc->ConnectString)) {
      const std::string named = records(FBatch.size());
      const bool gone = TakeBack();
      LogNow(Format("Update of %s rec_num=%s refused as it would be for every row (%s. State:  %s, code %d): "
                    "%s; run ended, no row of %s is marked until the server allows it",
                    FTable, headRecNum, result.Message, result.State, static_cast<int>(result.Native),
                    Format(gone ? "%s taken back from %s" : "%s could not be taken back from %s", named, path), FTable));
      return false;
    }
    if (n > 1) {
      FOneByOne = true;  // this round again, a row at a time
      return true;
    }
  }

  // What each row holds now (one row's update that changed it says so).
  std::vector<TMarkReading> reading(n, TMarkReading{msOwn, 1, false, 0});
  const auto refused = [&reading](size_t i) { return reading[i].State != msOwn && reading[i].State != msTwin; };
  if (n == 1 && !requests.empty() && result.Rows >= 1) {
    // One row's update says what it did.
    if (result.Rows > 1) {
      FSharedKeys[keys[0]] = static_cast<int>(FBatch.front().RecNo);
      LogNow(Format("Update of %s rec_num=%s marked %d rows (rows share machine and rec_num); record %d kept in %s",
                    FTable, headRecNum, static_cast<int>(result.Rows), static_cast<int>(FBatch.front().RecNo), path));
    }
  } else {
    std::vector<const TRowKey*> named;
    for (size_t i = 0; i < n; ++i) named.push_back(&FBatch[i].Key);
    const TReadBacks back = ReadRowMarks(FUpdate, FTable, named);
    if (back.State == rbLinkLost) return unknown(rows + " got no answer (link to the server lost)");
    if (back.State != rbFound) {
      // An update of one row that ran and changed nothing marked nothing,
      // whatever the read-back says. (A row only read back, its key marked
      // by an earlier record, has no such answer.)
      if (!(n == 1 && !requests.empty() && result.Executed && result.Rows == 0)) {
        if (!result.Executed)
          return unknown(rows + " failed and its mark could not be read back (statement error)");
        return unknown(rows + (n == 1 ? " left its mark unknown" : " left their marks unknown") +
                       " (the read-back failed: statement error)");
      }
      reading[0].State = msUnconverted;
      reading[0].AnyUnconverted = true;
    } else {
      for (size_t i = 0; i < n; ++i) {
        const TCopy& c = FBatch[i];
        const auto shared = FSharedKeys.find(keys[i]);
        reading[i] = ReadingOf(back.State, back.Marks[i], c.RecNo, shared != FSharedKeys.end() ? shared->second : 0);
        if (reading[i].State == msOwn && reading[i].Own > 1) {
          FSharedKeys[keys[i]] = static_cast<int>(c.RecNo);
          LogNow(Format("Update of %s rec_num=%s marked %d rows (rows share machine and rec_num); record %d kept in %s",
                        FTable, c.Key.RecNum, reading[i].Own, static_cast<int>(c.RecNo), path));
        } else if (reading[i].State == msOwn && n == 1 && (!result.Executed || result.Rows == 0)) {
          LogNow(Format("Update of %s rec_num=%s reported a failure but the row is marked; record %d kept in %s",
                        FTable, c.Key.RecNum, static_cast<int>(c.RecNo), path));
        } else if (reading[i].State == msTwin) {
          // An earlier row with the same key took this row's mark with its
          // own: its record is this row's copy all the same.
          LogNow(Format("Update of %s rec_num=%s found the row marked %d with the rows it shares its key with; "
                        "record %d kept in %s",
                        FTable, c.Key.RecNum, shared->second, static_cast<int>(c.RecNo), path));
        }
      }
    }
  }

  size_t f = 0;
  while (f < n && !refused(f)) ++f;
  for (size_t i = f; i < n; ++i)
    if (refused(i) && FBatch[i].Holds != 0) {
      // A row whose record moved refused its new number: its old one names
      // another row's record now, and no mark of the batch may stay.
      FJournal.Abandon();
      LogNow(Format("Update of %s rec_num=%s refused the number of its moved record %d in %s; the marks since the "
                    "last commit were rolled back and the next run settles them, run ended",
                    FTable, FBatch[i].Key.RecNum, static_cast<int>(FBatch[i].RecNo), path));
      return false;
    }
  for (size_t i = 0; i < f; ++i) Settled(FBatch[i]);
  // Settled rows leave the batch; readings follow the rows still in it.
  FBatch.erase(FBatch.begin(), FBatch.begin() + static_cast<std::ptrdiff_t>(f));
  if (f == n) return true;
  reading.erase(reading.begin(), reading.begin() + static_cast<std::ptrdiff_t>(f));
  n -= f;

  // A refusal: the refused row's record and all later ones go, and the
  // later ones of rows that are not refused are written again.
  std::vector<TCopy> later = FBatch;
  if (!TakeBack()) {
    FJournal.Abandon();
    LogNow(Format("%s failed and record %d could not be taken back from %s; the marks since the last commit were "
                  "rolled back, run ended",
                  Format("Update of %s rec_num=%s", FTable, later.front().Key.RecNum),
                  static_cast<int>(later.front().RecNo), path));
    return false;
  }
  std::vector<std::string> lines;
  for (size_t k = 0; k < later.size(); ++k) {
    TCopy& c = later[k];
    if (k < n && refused(k)) {
      if (reading[k].AnyUnconverted) ++LeftInSet;
      if (reading[k].Other != 0)
        lines.push_back(Format("Update of %s rec_num=%s found the row already marked %d by someone else; record %d "
                               "taken back from %s",
                               FTable, c.Key.RecNum, static_cast<int>(reading[k].Other), static_cast<int>(c.RecNo), path));
      else if (result.Executed)
        lines.push_back(Format("Update of %s rec_num=%s changed no row; record %d taken back from %s", FTable,
                               c.Key.RecNum, static_cast<int>(c.RecNo), path));
      else
        lines.push_back(Format("Update of %s rec_num=%s failed; record %d taken back from %s", FTable, c.Key.RecNum,
                               static_cast<int>(c.RecNo), path));
      continue;
    }
    // A row this round marked holds its old number until the next round
    // corrects it; one marked by its twin follows the twin's mark.
    if (k < n && reading[k].State == msOwn) c.Holds = static_cast<std::int32_t>(c.RecNo);
    const long old = c.RecNo;
    if (!Write(c)) {
      FJournal.Abandon();
      LogNow(Format("Record %d of %s (rec_num=%s) could not be written again after a refusal; the marks since the last "
                    "commit were rolled back and the next run settles them, run ended",
                    static_cast<int>(old), path, c.Key.RecNum));
      return false;
    }
    FBatch.push_back(std::move(c));
    ++RecordsKept;
  }
  for (const auto& line : lines) {
    LogNow(line);
    RowSettled();
  }
  return true;
}

bool TMarks::Finish() { return Settle(); }

}  // namespace tidewell
