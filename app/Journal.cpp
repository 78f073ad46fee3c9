// The intent journal: what a run was about to do, so that the next run can
// tell, after any interruption, which rows already have their one record.
//
// File: journal/<table>.jnl beside the executable (weight.jnl, action.jnl).
// Text, one entry per line, so an administrator can read it:
//
//     crc32    payload
//     -------- ----------------------------------------------------------
//     0f3c5e2a N 41 weight 7 - 7 1234 /mnt/share/netw/weight/03050407.dbf 15 9e3779b97f4a7c15
//     5d0f0b12 S 41
//
//   line     = CRC SP PAYLOAD LF, CRC = CRC-32 of PAYLOAD, 8 lower-case hex
//   PAYLOAD  = "N" seq table key file recno fingerprint          (noted)
//            | "S" seq                                          (settled)
//            | "O" file                                         (file opened)
//            | "C" file                                         (file closed)
//   key      = machine flags machine-value rec_num: the row's key as the
//              select read it (RowKey.h); flags is "-" or any of "n"
//              (machine NULL), "m" (machine a text column), "r" (rec_num a
//              text column)
//   fields are separated by one blank; in each, a byte below 0x21, 0x7f and
//   "%" are written %XX (hex), and an empty field is a lone "%".
//   seq counts up within the file; table names the source table the note
//   was written for (a note without it, from an older journal, is taken
//   as the journal's own table's); fingerprint is FieldsFingerprint of the
//   record's fields as stored (16 hex digits).
//
// Beside it, <table>.jnl.len holds one line of the same form, "L bytes":
// the size the journal had when it was last written to disk. It is
// written after each flush of the journal (and, flushed itself, before the
// journal shrinks), so it is never larger than the journal unless the
// journal was cut short from outside (a restore, a copy that stopped).
// Notes a run sets aside (see below) go to <table>.jnl.foreign.
//
// Order of writes, for each row (the row's states: Marks.h):
//   1. the record is built in memory, its number known: "N" is appended
//      (write(), no flush: the process may die, the OS keeps it);
//   2. the records of a batch go to their file together; then their rows'
//      marks are sent inside an open transaction, so they are neither
//      visible nor durable yet;
//   3. at most every half second (and at the end of a run): the journal and
//      every file written since are flushed to disk, then the marks are
//      committed; only then are their entries settled ("S", no flush).
// So a committed mark always has its record (and the record's note) on disk,
// and a record without its mark always has its note, unless a power cut
// took the note with the OS cache (see below).
//
// Reading (Load), the recovery rules:
//   - a line counts only whole: ended by LF, checksum right. A last line
//     without LF is a write cut short by a crash: ignored (TornTail), and
//     reported when it is longer than any line the journal holds (no
//     single write leaves that). Any other bad line is skipped and
//     reported (DamagedLines); the entry it held is lost to the journal, so
//     its row can at worst be copied twice (a mark is never committed
//     before its note was on disk). A journal shorter than its known size
//     lost its end: reported, with the same cost;
//   - pending = "N" lines without a later "S" of the same seq; files left
//     open = "O" without a later "C".
// The next run of the table resolves each pending entry on a new connection
// before its select. A note is resolved only against the table and folder
// it was written for: one of the other table (journals swapped or copied:
// it names that table, or no table, and a file in its folder) is handed to
// that table's journal, and this table's notes in the other journal are
// taken from it first; one naming a file in neither folder (a folder
// copied, the share moved) is reported and set aside untouched. While the table's folder or the share can't be reached
// nothing is resolved: the entries stay and the run ends. Otherwise the
// row's mark is read, and "the record holds the row" means: its
// fingerprint is the note's, and it is what the row's values, as the
// server returns them now, become in that file:
//   - marked with that record number, and the record holds the row:
//     nothing to do;
//   - marked with it, but the record is gone or holds something else (a
//     power cut took it; the file was replaced): the mark is cleared, so the
//     row is copied again;
//   - marked with another number, or the row is gone: nothing to do;
//   - unmarked, and the record holds the row: the row is marked with it;
//   - unmarked, the record missing or different: nothing was kept, the row
//     is copied as usual;
//   - the server can't be asked, or the file is there but can't be read:
//     the entry stays and the run ends.
// Files left open are opened once (the engine checks and repairs them).
// When nothing is left, the journal is emptied.
//
// What a power cut may cost: notes and "S" lines written since the last
// flush. A record whose note was lost and whose mark was not committed is
// copied again (a duplicate of a row of the last half second); no row is
// ever left marked without its record.
#include "app/Journal.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/System.h"

namespace tidewell {

struct TJournal::TFile {
  platform::TSharedFile File;
};

namespace {

std::string Escape(const std::string& field) {
  if (field.empty()) return "%";
  std::string out;
  out.reserve(field.size());
  for (unsigned char c : field) {
    if (c <= 0x20 || c == 0x7f || c == '%') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(const std::string& field, std::string& out) {
  out.clear();
  if (field == "%") return true;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      out += field[i];
      continue;
    }
    if (i + 2 >= field.size()) return false;
    const int hi = HexDigit(field[i + 1]), lo = HexDigit(field[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

std::vector<std::string> Split(const std::string& payload) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t blank = payload.find(' ', start);
    parts.push_back(payload.substr(start, blank - start));
    if (blank == std::string::npos) return parts;
    start = blank + 1;
  }
}

bool ParseNumber(const std::string& text, std::uint64_t& value, int base = 10) {
  if (text.empty() || text.size() > 20) return false;
  value = 0;
  for (char c : text) {
    const int d = base == 16 ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (d < 0) return false;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
  }
  return true;
}

std::string Hex64(std::uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

// Built by appending: GCC 12 warns falsely of overlapping copies
// (-Wrestrict) in an optimised chain of std::string operator+.
std::string NoteText(const TJournalEntry& e) {
  std::string flags;
  if (e.Key.MachineNull) flags += 'n';
  if (e.Key.MachineIsText) flags += 'm';
  if (e.Key.RecNumIsText) flags += 'r';
  if (flags.empty()) flags += '-';
  std::string text("N ");
  for (const std::string& part : {std::to_string(e.Seq), Escape(e.Table), std::to_string(e.Key.Machine), flags,
                                  Escape(e.Key.MachineValue), Escape(e.Key.RecNum), Escape(e.File),
                                  std::to_string(e.RecNo)})
    text.append(part).append(1, ' ');
  return text.append(Hex64(e.Fingerprint));
}

bool ParseFlags(const std::string& text, TRowKey& key) {
  if (text == "-") return true;
  for (char c : text) {
    if (c == 'n')
      key.MachineNull = true;
    else if (c == 'm')
      key.MachineIsText = true;
    else if (c == 'r')
      key.RecNumIsText = true;
    else
      return false;
  }
  return !text.empty();
}

}  // namespace

std::uint32_t TJournal::Crc32(const std::string& data) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : data) crc = table[(crc ^ c) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

std::string TJournal::Line(const std::string& payload) {
  char crc[9];
  std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(Crc32(payload)));
  return std::string(crc) + " " + payload + "\n";
}

bool TJournal::Payload(const std::string& line, std::string& payload) {
  if (line.size() < 10 || line[8] != ' ') return false;
  std::uint64_t crc = 0;
  for (int i = 0; i < 8; ++i)
    if (HexDigit(line[static_cast<size_t>(i)]) < 0) return false;
  if (!ParseNumber(line.substr(0, 8), crc, 16)) return false;
  payload = line.substr(9);
  return Crc32(payload) == crc;
}

std::uint64_t FieldsFingerprint(const std::vector<std::string>& texts) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (const auto& t : texts) {
    for (unsigned char c : t) {
      h ^= c;
      h *= 0x100000001b3ull;
    }
    h *= 0x100000001b3ull;  // a zero byte ends each text
  }
  return h;
}

TJournal::TJournal(std::string path, std::string table) : FPath(std::move(path)), FTable(std::move(table)) {
  if (FTable.empty()) {
    const std::string name = platform::ExtractFileName(FPath);
    FTable = name.substr(0, name.size() - platform::ExtractFileExt(name).size());
  }
}

TJournal::~TJournal() {
  delete FFile;
  delete FSizeFile;
}

bool TJournal::Failed() {
  FLastError = platform::SysErrorMessage(platform::LastErrorCode());
  return false;
}

void TJournal::Apply(const std::string& payload, bool& understood) {
  const auto parts = Split(payload);
  understood = false;
  std::uint64_t seq = 0, number = 0, fingerprint = 0;
  if (parts[0] == "N" && (parts.size() == 10 || parts.size() == 9)) {
    TJournalEntry e;
    e.Key.MachineNull = false;
    // An older journal's notes have no table name.
    const size_t k = parts.size() == 10 ? 1 : 0;
    e.Table = FTable;
    e.TableNamed = k != 0;
    if (k && (!Unescape(parts[2], e.Table) || e.Table.empty())) return;
    std::uint64_t machine = 0;
    const std::string& m = parts[2 + k];
    const bool negative = !m.empty() && m[0] == '-';
    if (!ParseNumber(parts[1], seq) || !ParseNumber(negative ? m.substr(1) : m, machine) ||
        machine > (negative ? 0x80000000ull : 0x7fffffffull) || !ParseFlags(parts[3 + k], e.Key) ||
        !Unescape(parts[4 + k], e.Key.MachineValue) || !Unescape(parts[5 + k], e.Key.RecNum) ||
        !Unescape(parts[6 + k], e.File) || e.File.empty() || !ParseNumber(parts[7 + k], number) || number == 0 ||
        number > 0x7fffffffull || !ParseNumber(parts[8 + k], fingerprint, 16))
      return;
    e.Seq = seq;
    e.Key.Machine = negative ? static_cast<int>(-static_cast<long long>(machine)) : static_cast<int>(machine);
    e.RecNo = static_cast<long>(number);
    e.Fingerprint = fingerprint;
    FPending[seq] = e;
  } else if (parts[0] == "S" && parts.size() == 2) {
    if (!ParseNumber(parts[1], seq)) return;
    FPending.erase(seq);
  } else if ((parts[0] == "O" || parts[0] == "C") && parts.size() == 2) {
    std::string file;
    if (!Unescape(parts[1], file) || file.empty()) return;
    if (parts[0] == "O")
      FOpen.insert(file);
    else
      FOpen.erase(file);
  } else {
    return;
  }
  if (seq >= FNextSeq) FNextSeq = seq + 1;
  understood = true;
}

namespace {

// The whole of a file, or nothing when it can't be read.
bool ReadWhole(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  if (in.bad()) return false;
  text = all.str();
  return true;
}

}  // namespace

bool TJournal::Load() {
  FPending.clear();
  FOpen.clear();
  DamagedLines.clear();
  TornTail = LongTornTail = false;
  FBytes = FWholeBytes = TornBytes = KnownBytes = 0;
  std::string size, sizeLine;
  std::uint64_t known = 0;
  if (platform::FileExists(SizePath()) && ReadWhole(SizePath(), size) && !size.empty() && size.back() == '\n' &&
      Payload(size.substr(0, size.size() - 1), sizeLine) && sizeLine.size() > 2 && sizeLine.compare(0, 2, "L ") == 0 &&
      ParseNumber(sizeLine.substr(2), known))
    KnownBytes = known;
  if (!platform::FileExists(FPath)) return !platform::PathExists(FPath);
  std::string text;
  if (!ReadWhole(FPath, text)) return false;
  FBytes = text.size();
  size_t start = 0, longest = 0;
  int number = 0;
  while (start < text.size()) {
    ++number;
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      TornTail = true;
      TornBytes = text.size() - start;
      // A note's line is the longest kind, and one write leaves at most a
      // part of one line; slack for a longer row key or file name.
      LongTornTail = TornBytes > (longest ? longest + 64 : 4096);
      break;
    }
    longest = std::max(longest, end + 1 - start);
    FWholeBytes = end + 1;
    std::string payload;
    bool understood = false;
    if (Payload(text.substr(start, end - start), payload)) Apply(payload, understood);
    if (!understood) DamagedLines.push_back(number);
    start = end + 1;
  }
  return true;
}

std::vector<TJournalEntry> TJournal::Pending() const {
  std::vector<TJournalEntry> out;
  out.reserve(FPending.size());
  for (const auto& [seq, e] : FPending) out.push_back(e);
  return out;
}

bool TJournal::PendingEntry(std::uint64_t seq, TJournalEntry& entry) const {
  const auto it = FPending.find(seq);
  if (it == FPending.end()) return false;
  entry = it->second;
  return true;
}

bool TJournal::OpenForAppend() {
  if (FFile && FFile->File.IsOpen()) return true;
  if (!FFile) FFile = new TFile;
  const std::string dir = platform::ExtractFileDir(FPath);
  if (!dir.empty() && !platform::DirectoryExists(dir)) platform::ForceDirectories(dir);
  if (!platform::FileExists(FPath)) platform::CreateEmptyFile(FPath);
  if (!FFile->File.Open(FPath)) return false;
  if (TornTail) {
    // The torn line goes, so that the next line starts a line of its own.
    if (!FFile->File.Truncate(FWholeBytes)) return false;
    FBytes = FWholeBytes;
    TornTail = false;
  }
  return FFile->File.SeekToEnd();
}

bool TJournal::Append(const std::string& text) {
  if (!OpenForAppend() || !FFile->File.Write(text.data(), text.size())) return Failed();
  FBytes += text.size();
  return true;
}

bool TJournal::WriteSize(std::uint64_t bytes, bool sync) {
  if (!FSizeFile) FSizeFile = new TFile;
  platform::TSharedFile& f = FSizeFile->File;
  if (!f.IsOpen()) {
    const std::string dir = platform::ExtractFileDir(FPath);
    if (!dir.empty() && !platform::DirectoryExists(dir)) platform::ForceDirectories(dir);
    if (!platform::FileExists(SizePath())) platform::CreateEmptyFile(SizePath());
    if (!f.Open(SizePath())) return Failed();
  }
  const std::string line = Line("L " + std::to_string(bytes));
  if (!f.Truncate(0) || !f.Write(line.data(), line.size()) || (sync && !f.Sync())) return Failed();
  return true;
}

bool TJournal::RememberSize() {
  KnownBytes = 0;
  return WriteSize(FBytes, true);
}

bool TJournal::Note(TJournalEntry& entry) {
  entry.Seq = FNextSeq++;
  if (entry.Table.empty()) entry.Table = FTable;
  if (!Append(Line(NoteText(entry)))) return false;
  FPending[entry.Seq] = entry;
  return true;
}

bool TJournal::Settle(const std::vector<std::uint64_t>& seqs) {
  std::string text;
  for (auto seq : seqs) {
    if (FPending.erase(seq) == 0) continue;
    text += Line("S " + std::to_string(seq));
  }
  return text.empty() || Append(text);
}

bool TJournal::SetAside(const std::vector<TJournalEntry>& entries) {
  if (entries.empty()) return true;
  std::string text;
  std::vector<std::uint64_t> seqs;
  for (const auto& e : entries) {
    text += Line(NoteText(e));
    seqs.push_back(e.Seq);
  }
  platform::TSharedFile f;
  if ((!platform::FileExists(AsidePath()) && !platform::CreateEmptyFile(AsidePath())) || !f.Open(AsidePath()) ||
      !f.SeekToEnd() || !f.Write(text.data(), text.size()) || !f.Sync())
    return Failed();
  return Settle(seqs);
}

bool TJournal::FileOpened(const std::string& file) {
  if (!Append(Line("O " + Escape(file)))) return false;
  FOpen.insert(file);
  return true;
}

bool TJournal::FileClosed(const std::string& file) {
  if (FOpen.erase(file) == 0) return true;
  return Append(Line("C " + Escape(file)));
}

bool TJournal::Sync() {
  if (!FFile || !FFile->File.IsOpen()) return true;
  if (!FFile->File.Sync()) return Failed();
  // Everything up to here is on disk: the journal is at least this long
  // from now on. (A size that is not written only makes a cut go unseen.)
  WriteSize(FBytes, false);
  return true;
}

std::string TJournal::LiveText() const {
  std::string text;
  for (const auto& file : FOpen) text += Line("O " + Escape(file));
  for (const auto& [seq, e] : FPending) text += Line(NoteText(e));
  return text;
}

bool TJournal::Compact(bool force) {
  if (!force && FBytes < CompactBytes) return true;
  const std::string live = LiveText();
  if (FFile) FFile->File.Close();
  TornTail = false;
  // The known size goes down first, and to disk: a journal that is
  // replaced must never look cut short.
  if ((FBytes > 0 || platform::FileExists(SizePath())) && !WriteSize(live.size(), true)) return false;
  KnownBytes = 0;
  if (live.empty()) {
    // Nothing is lost if the cut is itself cut short: nothing is live.
    if (!platform::FileExists(FPath)) {
      FBytes = 0;
      return true;
    }
    if (!OpenForAppend() || !FFile->File.Truncate(0)) return Failed();
    FBytes = 0;
    return true;
  }
  // The live lines go to a new file first; the move replaces the old one
  // whole, so a crash leaves either journal, both complete.
  const std::string fresh = FPath + ".new";
  platform::RemoveFile(fresh);
  {
    platform::TSharedFile f;
    if (!platform::CreateEmptyFile(fresh) || !f.Open(fresh) || !f.Write(live.data(), live.size()) || !f.Sync())
      return Failed();
  }
  if (!platform::MoveFileOver(fresh, FPath)) return Failed();
  FBytes = live.size();
  return OpenForAppend();
}

}  // namespace tidewell
