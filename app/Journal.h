// TJournal: the intent journal of one source table (journal/<table>.jnl
// beside the executable). Before a record reaches its file the conversion
// notes which row it copies and which record number it gets; the note is
// settled once the row's mark is committed on the server and the record is
// on disk. Whatever is still noted when a run is cut short (a kill, a lost
// link, a server crash, a power cut) is resolved by the next run of the
// table before its select. Format and rules: Journal.cpp.
//
// One writer at a time: cycles never overlap, and a journal belongs to the
// run that opened it.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/RowKey.h"

namespace tidewell {

// One noted append: the row's key, the file and the record number its copy
// gets, and the fingerprint of that record's fields as stored.
struct TJournalEntry {
  std::uint64_t Seq = 0;
  std::string Table;  // the source table it was written for
  bool TableNamed = true;  // false: read from a note without it (older journal)
  TRowKey Key;
  std::string File;
  long RecNo = 0;
  std::uint64_t Fingerprint = 0;
};

class TJournal {
 public:
  // `table` is the source table the journal is for; by default the file's
  // name without its extension (weight.jnl: weight). A note read without a
  // table name (an older journal) is taken as this table's.
  explicit TJournal(std::string path, std::string table = std::string());
  ~TJournal();
  TJournal(const TJournal&) = delete;
  TJournal& operator=(const TJournal&) = delete;

  const std::string& Path() const { return FPath; }
  const std::string& Table() const { return FTable; }
  // The file beside the journal that keeps its last known size.
  std::string SizePath() const { return FPath + ".len"; }

  // Reads what an earlier run left: the entries still pending and the files
  // it left open. A missing file is an empty journal. False when the file
  // exists but can't be read (nothing may then be assumed about it).
  bool Load();
  // Entries noted and not settled, oldest first.
  std::vector<TJournalEntry> Pending() const;
  // The entry noted as `seq`, while it is not settled.
  bool PendingEntry(std::uint64_t seq, TJournalEntry& entry) const;
  // Files opened for appending and not closed afterwards.
  std::vector<std::string> OpenFiles() const { return {FOpen.begin(), FOpen.end()}; }
  // Numbers (from 1) of the lines Load found damaged and skipped. A torn
  // last line (a write cut short by a crash) is not among them: TornTail.
  std::vector<int> DamagedLines;
  bool TornTail = false;
  // Bytes after the last whole line, and whether they are more than one
  // line's worth (longer than any line the journal holds): not what a
  // write cut short leaves, so the journal itself was cut or damaged.
  std::uint64_t TornBytes = 0;
  bool LongTornTail = false;
  // The size the journal had when last written to disk, when known and
  // larger than what Load found: the journal was cut short (a restore, a
  // copy that stopped), and the notes in the missing part are lost.
  std::uint64_t KnownBytes = 0;
  bool CutShort() const { return KnownBytes > FBytes; }
  // Takes the journal's present size as its known size (after a cut was
  // reported, so that it is reported once).
  bool RememberSize();
  // Why the last write failed ("No space left on device"), or empty.
  const std::string& LastError() const { return FLastError; }

  // Appends one entry (its Seq is given here). The line is in the
  // operating system's hands when this returns: it survives a kill of the
  // process, and Sync makes it survive a power cut. False when it could
  // not be written.
  bool Note(TJournalEntry& entry);
  // Settles entries: their rows' marks are committed and their records on
  // disk, or nothing of them was kept. Unknown numbers are ignored.
  bool Settle(const std::vector<std::uint64_t>& seqs);
  // Copies the entries' notes to the file beside the journal that keeps
  // what was set aside (<table>.jnl.foreign, written to disk), then
  // settles them: they are kept for whoever looks, never resolved.
  bool SetAside(const std::vector<TJournalEntry>& entries);
  std::string AsidePath() const { return FPath + ".foreign"; }
  bool FileOpened(const std::string& file);
  bool FileClosed(const std::string& file);
  // Writes the journal through to the disk.
  bool Sync();
  // Rewrites the journal with only what is still live, replacing the old
  // one in a single step; an empty journal when nothing is. Done when the
  // file has grown past CompactBytes, or at once with force.
  bool Compact(bool force = false);
  std::uint64_t Bytes() const { return FBytes; }

  static constexpr std::uint64_t CompactBytes = 1 << 20;

  // The line for a payload, checksum and end of line included; and the
  // payload of a line, or false when its checksum or form is wrong.
  static std::string Line(const std::string& payload);
  static bool Payload(const std::string& line, std::string& payload);
  // CRC-32 (IEEE 802.3), as zip and PNG use it.
  static std::uint32_t Crc32(const std::string& data);

 private:
  bool Append(const std::string& text);
  bool WriteSize(std::uint64_t bytes, bool sync);
  bool Failed();
  bool OpenForAppend();
  void Apply(const std::string& payload, bool& understood);
  std::string LiveText() const;

  std::string FPath;
  std::string FTable;
  std::string FLastError;
  struct TFile;
  TFile* FFile = nullptr;
  TFile* FSizeFile = nullptr;
  std::uint64_t FNextSeq = 1;
  std::uint64_t FBytes = 0;
  std::uint64_t FWholeBytes = 0;  // up to the end of the last whole line
  std::map<std::uint64_t, TJournalEntry> FPending;
  std::set<std::string> FOpen;
};

// 64-bit FNV-1a over the given texts, each ended by a zero byte: the
// fingerprint of a record's fields as stored.
std::uint64_t FieldsFingerprint(const std::vector<std::string>& texts);

}  // namespace tidewell
