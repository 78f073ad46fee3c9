#include "xbase/table.h"

#include "common/Ascii.h"

#include "xbase/byte_order.h"
#include "xbase/field_codec.h"
#include "xbase/text_cut.h"

#include <cstdio>

namespace xbase {
namespace {

bool SameName(std::string_view a, std::string_view b) { return tidewell::ascii::EqualIgnoringCase(a, b); }

void StampToday(TableHeader& h, Env& env) {
  LocalDate today = env.Today();
  h.update_year = static_cast<uint8_t>(today.year - 1900);
  h.update_month = static_cast<uint8_t>(today.month);
  h.update_day = static_cast<uint8_t>(today.day);
}

const char* ExtensionOf(MemoKind kind) { return kind == MemoKind::kFpt ? ".fpt" : ".dbt"; }

std::string StemOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.find_last_of('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace

Table::Table(std::string path, const TableOptions& options)
    : path_(std::move(path)),
      options_(options),
      env_(&Env::Or(options.env)),
      sink_(options.sink ? options.sink : &null_sink_) {
  if (options_.system_code_set.empty()) options_.system_code_set = SystemCodeSet();
}

Table::~Table() { Close(); }

void Table::Report(const std::string& problem) { sink_->Report(path_ + ": " + problem); }

void Table::ReportOncePerField(int index, const std::string& problem) {
  auto i = static_cast<size_t>(index);
  if (reported_[i]) return;
  reported_[i] = true;
  Report(problem);
}

std::unique_ptr<Table> Table::Open(const std::string& path, const TableOptions& options) {
  std::unique_ptr<Table> table(new Table(path, options));
  std::string error;
  auto access = options.read_only ? OsFile::Access::kReadOnly : OsFile::Access::kReadWrite;
  auto file = table->env_->Open(path, access, &error);
  if (!file) {
    table->closed_ = true;
    return nullptr;  // a missing or busy file is the caller's to report
  }
  if (!table->Load(std::move(file))) {
    table->closed_ = true;
    return nullptr;
  }
  return table;
}

bool Table::Load(std::unique_ptr<OsFile> file) {
  std::string problem;
  auto size = file->Size();
  uint8_t first[kTableHeaderSize];
  if (!size || *size < kTableHeaderSize || !file->ReadAt(0, first, sizeof first)) {
    Report("file shorter than a table header");
    return false;
  }
  auto length = PeekHeaderLength(first, &problem);
  if (!length) {
    Report(problem);
    return false;
  }
  if (*length > *size) {
    Report("header length " + std::to_string(*length) + " beyond the end of the file");
    return false;
  }
  {
    TableHeader probe;
    probe.version = first[0];
    locks_ = LockScheme::ForTable(probe.FlavorOfVersion(),
                                  (first[28] & 0x01) != 0 && FindCompanionFile(path_, ".cdx").has_value());
  }
  auto shared = std::make_unique<SharedFile>(std::move(file), FileRole::kTable, locks_,
                                             LockWait{options_.lock_timeout_ms, options_.cancelled});
  // Header and file size are read together under a shared header lock, so
  // that an append by another program is seen whole or not at all.
  std::vector<uint8_t> bytes(*length);
  bool read = false;
  {
    auto reading = shared->LockFile(false);
    read = shared->ReadAt(0, bytes.data(), bytes.size());
    size = shared->Size();
  }
  if (!read || !size) {
    Report("header unreadable");
    return false;
  }
  auto header = ParseTableHeader(bytes, *size, &problem);
  if (!header) {
    Report(problem);
    return false;
  }
  uint64_t needed = uint64_t{header->header_length} + uint64_t{header->record_count} * header->record_length;
  if (*size < needed) {
    Report("file holds fewer records than its header counts (" + std::to_string(header->record_count) + ")");
    return false;
  }
  header_ = std::move(*header);
  file_ = std::move(shared);
  // A file that does not end in the end-of-file byte right after the last
  // counted record was left so by a writer that stopped: complete records
  // past the count (stopped between a record and the count) are taken into
  // the count, so that nothing is written over them and the index is
  // brought up to them when it is opened; a part of a record after them is
  // cut off and the end-of-file byte written, as programs expect.
  if (!options_.read_only && (*size != needed + 1 || !EndsWithEof(*size)) &&
      LockHeader()) {
    uint8_t count_bytes[4];
    size = file_->Size();
    if (size && file_->ReadAt(4, count_bytes, 4) &&
        uint64_t{header_.header_length} + uint64_t{GetLe32(count_bytes)} * header_.record_length <= *size) {
      const uint32_t count = GetLe32(count_bytes);
      const uint32_t adopted = AdoptRecordsPastCount(count, *size);
      header_.record_count = adopted;
      const uint64_t end = header_.header_length + uint64_t{adopted} * header_.record_length;
      bool ok = true;
      if (adopted != count) {
        uint8_t area[kCountAreaSize];
        PutDateAndCount(area, header_);
        ok = file_->WriteAt(Head(), kCountAreaOffset, area, sizeof area);
      }
      if (*size != end + 1 || !EndsWithEof(*size)) {
        if (*size > end + 1)
          Report(std::to_string(*size - end - 1) + " bytes after the last complete record cut off");
        const uint8_t eof = kEndOfFile;
        ok = file_->Truncate(Head(), end + 1) && file_->WriteAt(Head(), end, &eof, 1) && ok;
      }
      if (!ok) Report("cannot write the record count or the end of the file");
    }
    UnlockHeader();
  }

  if (options_.read_only && options_.see_records_past_count && *size > needed + 1)
    header_.record_count = AdoptRecordsPastCount(header_.record_count, *size);

  if (header_.HasMemoFields() && !OpenMemo(header_.MemoKindForFields())) return false;

  if (CodePageOfMark(header_.code_page_mark) != 0) {
    converter_ = TextConverter::ForMark(header_.code_page_mark, options_.system_code_set, &problem);
    if (!converter_) Report(problem + "; texts are stored unchanged");
  }

  int nf = header_.NullFlagsField();
  blank_.assign(header_.record_length, ' ');
  for (size_t i = 0; i < header_.fields.size(); ++i) {
    const auto& f = header_.fields[i];
    BlankField(f, blank_.data());
    if (!f.IsSystem() && f.type != '0') visible_.push_back(static_cast<int>(i));
  }
  // An empty V/Q field is one "shorter than the field": length byte 0.
  for (const auto& f : header_.fields)
    if (f.varlength_bit >= 0 && nf >= 0)
      blank_[header_.fields[static_cast<size_t>(nf)].offset + static_cast<size_t>(f.varlength_bit / 8)] |=
          static_cast<uint8_t>(1u << (f.varlength_bit % 8));
  record_ = blank_;
  reported_.assign(header_.fields.size(), false);
  return true;
}

bool Table::OpenMemo(MemoKind kind) {
  std::optional<std::string> memo_path;
  if (kind == MemoKind::kNone) {
    // A version byte that names no memo file: take whichever companion exists.
    if ((memo_path = FindCompanionFile(path_, ".fpt")))
      kind = MemoKind::kFpt;
    else if ((memo_path = FindCompanionFile(path_, ".dbt")))
      kind = MemoKind::kDbt3;
  } else {
    memo_path = FindCompanionFile(path_, ExtensionOf(kind));
  }
  if (!memo_path) {
    Report("memo file missing");
    return false;
  }
  std::string problem;
  memo_ = MemoFile::Open(*memo_path, kind, !options_.read_only, &problem, env_);
  if (!memo_) {
    Report(problem);
    return false;
  }
  memo_->set_cancelled(options_.cancelled);
  memo_->set_scheme(locks_);
  return true;
}

std::unique_ptr<Table> Table::Create(const std::string& path, const TableLayout& layout, bool overwrite,
                                     const TableOptions& options) {
  ErrorSink* sink = options.sink;
  auto fail = [&](const std::string& problem) -> std::unique_ptr<Table> {
    if (sink) sink->Report(path + ": " + problem);
    return nullptr;
  };
  TableHeader h = layout.header;
  h.record_count = 0;
  Env& env = Env::Or(options.env);
  StampToday(h, env);
  // No index is written yet (unless the caller writes it before the table
  // can be opened), and the new table belongs to no database.
  if (!layout.indexed) h.table_flags &= static_cast<uint8_t>(~0x01);
  if (!layout.indexed && h.FlavorOfVersion() == Flavor::kDbase4)
    for (auto& f : h.fields)
      if (f.raw.size() == kFieldDescriptorSize) f.raw[31] = 0;  // "has an .mdx tag"
  if (h.FlavorOfVersion() == Flavor::kVisualFoxPro) h.table_flags &= static_cast<uint8_t>(~0x04);
  std::fill(h.tail.begin(), h.tail.end(), 0);
  std::string problem;
  if (!LayOutFields(h, &problem)) return fail(problem);

  MemoKind kind = MemoKind::kNone;
  uint32_t block_size = layout.memo_block_size;
  // Legacy programs look for the memo file the version byte names, memo
  // fields or not.
  if (h.HasMemoFields() || h.MemoKindOfVersion() != MemoKind::kNone) {
    kind = layout.memo_kind != MemoKind::kNone ? layout.memo_kind : h.MemoKindOfVersion();
    if (kind == MemoKind::kNone)
      kind = h.FlavorOfVersion() == Flavor::kDbase3 ? MemoKind::kDbt3 : MemoKind::kFpt;
    if (block_size == 0) block_size = kind == MemoKind::kFpt ? 64 : 512;
  }

  auto created = env.Create(path, !overwrite, &problem);
  if (!created) return fail(problem);
  std::vector<uint8_t> image = SerializeTableHeader(h);
  image.push_back(kEndOfFile);
  {
    SharedFile file(std::move(created), FileRole::kTable, LockScheme::ForTable(h.FlavorOfVersion(), false),
                    LockWait{options.lock_timeout_ms, options.cancelled});
    auto held = file.LockFile(true);
    if (!held || !file.WriteAt(*held, 0, image.data(), image.size())) {
      held.reset();
      created.reset();
      RemoveFile(path);
      return fail("cannot write the header");
    }
  }
  if (kind != MemoKind::kNone) {
    std::string memo_path = CompanionName(path, ExtensionOf(kind));
    if (!MemoFile::Create(memo_path, kind, block_size, StemOf(path), !overwrite, &problem, layout.memo_header,
                          &env)) {
      RemoveFile(path);
      return fail(problem);
    }
  }
  return Open(path, options);
}

TableLayout Table::Layout() const {
  TableLayout layout;
  layout.header = header_;
  if (memo_) {
    layout.memo_kind = memo_->kind();
    layout.memo_block_size = memo_->block_size();
    layout.memo_header = memo_->Header();
  }
  return layout;
}

int Table::FindField(std::string_view name) const {
  for (int i : visible_)
    if (SameName(header_.fields[static_cast<size_t>(i)].name, name)) return i;
  return -1;
}

// Texts of C, V and M fields follow the table's code page, unless VFP marks
// the field binary.
bool Table::Translated(const FieldDescriptor& f) const {
  return converter_ && (f.type == 'C' || f.type == 'V' || f.type == 'M') && !(f.flags & 0x04);
}

uint8_t* Table::NullFlags() {
  int nf = header_.NullFlagsField();
  return nf < 0 ? nullptr : record_.data() + header_.fields[static_cast<size_t>(nf)].offset;
}

bool Table::WriteRecord() {
  if (!dirty_ || current_ == 0) return true;
  if (batch_ && current_ > committed_count_) return true;  // goes out with the batch
  // A record already counted is another program's to read and maybe to
  // change: written under its record lock.
  auto lock = file_->LockRecord(current_, header_.header_length, header_.record_length);
  if (!lock) {
    Report("record " + std::to_string(current_) + " locked by another program; not written");
    return false;
  }
  uint64_t offset = header_.header_length + uint64_t{current_ - 1} * header_.record_length;
  const bool written = file_->WriteAt(*lock, offset, record_.data(), record_.size());
  lock.reset();
  if (!written) {
    Report("cannot write record " + std::to_string(current_));
    return false;
  }
  dirty_ = false;
  return true;
}

bool Table::LockHeader() {
  if (!header_lock_) header_lock_ = file_->LockFile(true);
  return header_lock_.has_value();
}

void Table::UnlockHeader() { header_lock_.reset(); }

bool Table::FinishAppended() {
  bool ok = WriteRecord();
  if (appended_) {
    appended_ = false;
    index_dirty_ = true;
    for (auto& index : indexes_) {
      std::string problem;
      if (!index->AddRecord(current_, record_, &problem)) {
        Report("index not updated for record " + std::to_string(current_) + ": " + problem);
        ok = false;
      }
    }
  }
  return ok;
}

bool Table::EndsWithEof(uint64_t size) {
  uint8_t last = 0;
  return size > 0 && file_->ReadAt(size - 1, &last, 1) && last == kEndOfFile;
}

// The record count to use for a file of `size` bytes whose header counts
// `count`: complete records past the count are taken in (one report), up
// to the first that is not a record (its deletion flag neither blank nor
// '*'), so that an append never writes over a record.
uint32_t Table::AdoptRecordsPastCount(uint32_t count, uint64_t size) {
  const uint64_t rlen = header_.record_length;
  const uint64_t first = header_.header_length + uint64_t{count} * rlen;
  if (rlen == 0 || size < first + rlen) return count;
  uint64_t complete = (size - first) / rlen;
  // A one-byte record can't be told from the end-of-file byte.
  if (rlen == 1 && complete > 0) --complete;
  uint32_t adopted = count;
  uint8_t flag = 0;
  while (complete > 0 && adopted < 0xFFFFFFFEu &&
         file_->ReadAt(header_.header_length + uint64_t{adopted} * rlen, &flag, 1) && (flag == ' ' || flag == '*')) {
    ++adopted;
    --complete;
  }
  if (adopted != count)
    Report("records " + std::to_string(count + 1) + " to " + std::to_string(adopted) +
           " lay past the header's record count " + std::to_string(count) +
           (options_.read_only ? "; the next writer takes them in" : " and have been taken in"));
  return adopted;
}

// Locks the header and reads the record count afresh: another program may
// have appended since we last looked.
bool Table::BeginBatch() {
  const uint64_t hlen = header_.header_length;
  if (!LockHeader()) {
    Report("header locked by another program; record not appended");
    return false;
  }
  uint8_t head[kTableHeaderSize];
  auto size = file_->Size();
  std::string problem;
  if (!size || !file_->ReadAt(0, head, sizeof head)) {
    problem = "header unreadable; record not appended";
  } else if (GetLe16(head + 8) != header_.header_length || GetLe16(head + 10) != header_.record_length) {
    problem = "header changed by another program; record not appended";
  } else {
    uint32_t count = GetLe32(head + 4);
    if (*size < hlen + uint64_t{count} * header_.record_length) {
      problem = "file holds fewer records than its header counts; record not appended";
    } else {
      count = AdoptRecordsPastCount(count, *size);
      autoinc_next_.assign(header_.fields.size(), 0);
      bool ok = true;
      for (size_t i = 0; ok && i < header_.fields.size(); ++i) {
        if (!header_.fields[i].IsAutoIncrement()) continue;
        uint8_t next[4];
        ok = file_->ReadAt(kTableHeaderSize + i * kFieldDescriptorSize + 19, next, 4);
        autoinc_next_[i] = GetLe32(next);
      }
      if (ok) {
        // Records another program appended since we last looked are kept,
        // and their keys go into our indexes too (nothing changes for one
        // that put them there itself).
        if (count > header_.record_count && !indexes_.empty()) IndexRecordsOfOthers(header_.record_count, count);
        header_.record_count = committed_count_ = count;
        batch_ = true;
        batch_start_ms_ = env_->MonotonicMs();
        return true;
      }
      problem = "field descriptors unreadable; record not appended";
    }
  }
  UnlockHeader();
  Report(problem);
  return false;
}

void Table::IndexRecordsOfOthers(uint32_t known, uint32_t count) {
  std::vector<uint8_t> record(header_.record_length);
  for (uint32_t r = known + 1; r <= count; ++r) {
    if (!file_->ReadAt(header_.header_length + uint64_t{r - 1} * header_.record_length, record.data(), record.size()))
      return;
    for (auto& index : indexes_) {
      std::string problem;
      if (!index->AddRecord(r, record, &problem)) Report("index not updated for record " + std::to_string(r) + ": " + problem);
    }
    index_dirty_ = true;
  }
}

// Writes the batch: memo blocks, records and end byte, autoincrement
// counters, then the record count; and lets go of the header.
bool Table::CommitBatch() {
  if (!batch_) return true;
  batch_ = false;
  std::string problem;
  bool ok = !memo_ || memo_->Commit(&problem);
  if (!ok) Report(problem);
  bool current_pending = current_ != 0 && current_ > committed_count_;
  if (current_pending) pending_.insert(pending_.end(), record_.begin(), record_.end());
  if (ok && !pending_.empty()) {
    pending_.push_back(kEndOfFile);
    uint64_t offset = header_.header_length + uint64_t{committed_count_} * header_.record_length;
    ok = file_->WriteAt(Head(), offset, pending_.data(), pending_.size());
    for (size_t i = 0; ok && i < header_.fields.size(); ++i) {
      if (!header_.fields[i].IsAutoIncrement()) continue;
      uint8_t next[4];
      PutLe32(next, autoinc_next_[i]);
      ok = file_->WriteAt(Head(), kTableHeaderSize + i * kFieldDescriptorSize + 19, next, 4);
    }
    if (ok) {
      uint8_t area[kCountAreaSize];
      StampToday(header_, *env_);
      PutDateAndCount(area, header_);
      ok = file_->WriteAt(Head(), kCountAreaOffset, area, sizeof area);
    }
    if (!ok) Report("cannot write appended records " + std::to_string(committed_count_ + 1) + " to " +
                    std::to_string(header_.record_count));
  }
  if (!ok) {
    ForgetLostRecords();
    header_.record_count = committed_count_;
    ++failed_writes_;
  }
  pending_.clear();
  UnlockHeader();
  if (current_pending) dirty_ = false;
  committed_count_ = header_.record_count;
  return ok;
}

// The records of a batch whose write failed are gone, and later appends
// take their numbers: their keys leave the indexes (a key must never point
// at a record it was not made from), their numbers are no longer ours to
// take back, and none of them stays the current record.
void Table::ForgetLostRecords() {
  const size_t rlen = header_.record_length;
  for (uint32_t r = committed_count_ + 1; r <= header_.record_count; ++r) {
    const size_t at = size_t{r - committed_count_ - 1} * rlen;
    if (at + rlen > pending_.size()) break;
    const std::span<const uint8_t> record(pending_.data() + at, rlen);
    for (auto& index : indexes_) {
      std::string problem;
      if (!index->RemoveRecord(r, record, &problem))
        Report("index keeps the keys of lost record " + std::to_string(r) + ": " + problem);
    }
    index_dirty_ = true;
    std::erase(appended_here_, r);
  }
  if (current_ > committed_count_) {
    current_ = 0;
    appended_ = false;
  }
}

bool Table::AppendBlank() {
  if (closed_ || options_.read_only) return false;
  bool ok = FinishAppended();
  if (batch_) {
    if (env_->MonotonicMs() - batch_start_ms_ >= options_.batch_time_ms || pending_.size() >= (1u << 20)) {
      ok = CommitBatch() && ok;
    } else if (current_ > committed_count_) {
      pending_.insert(pending_.end(), record_.begin(), record_.end());
    }
  }
  // From here the previous record is out of reach: should the append fail,
  // there is no current record, so that values meant for the new record
  // can't overwrite the previous one and its number can't be taken for the
  // new record's.
  current_ = 0;
  dirty_ = false;
  if (!ok || (!batch_ && !BeginBatch())) return false;
  if ((header_.table_flags & 0x01) && indexes_.empty() && !index_reported_) {
    index_reported_ = true;
    Report("has a production index that is not kept up to date; programs using it miss new records until reindexed");
  }
  if (header_.record_count == 0xFFFFFFFFu) {
    Report("table full");
    return false;
  }
  record_ = blank_;
  for (size_t i = 0; i < header_.fields.size(); ++i) {
    const auto& f = header_.fields[i];
    if (!f.IsAutoIncrement() || f.type != 'I') continue;
    PutLe32(record_.data() + f.offset, autoinc_next_[i]);
    autoinc_next_[i] += f.autoinc_step;
  }
  current_ = ++header_.record_count;
  appended_here_.push_back(current_);
  dirty_ = true;
  appended_ = true;
  modified_ = true;
  return true;
}

bool Table::Assign(int index, std::string_view text) {
  if (current_ == 0 || index < 0 || static_cast<size_t>(index) >= header_.fields.size()) return false;
  const auto& f = field(index);
  if (f.IsMemo()) return AssignMemo(index, text);
  if (f.type == '0') return false;
  // In the table's code page, and cut to the width at a whole character.
  const std::string stored = TextForField(f, text, Translated(f) ? converter_.get() : nullptr,
                                         IsUtf8CodeSet(options_.system_code_set));
  text = stored;
  EncodeResult r = EncodeField(f, text, record_.data(), NullFlags());
  dirty_ = true;
  if (r == EncodeResult::kStored) return true;
  std::string shape = f.name + " (" + std::string(1, f.type) + "," + std::to_string(f.length) + "," +
                      std::to_string(f.decimals) + ")";
  if (r == EncodeResult::kOverflow)
    ReportOncePerField(index, "value \"" + std::string(text) + "\" does not fit field " + shape);
  else if (r == EncodeResult::kInvalid)
    ReportOncePerField(index, "value \"" + std::string(text) + "\" is not valid for field " + shape + "; left blank");
  return r == EncodeResult::kStored;
}

bool Table::AssignMemo(int index, std::string_view text) {
  if (current_ == 0 || index < 0 || static_cast<size_t>(index) >= header_.fields.size()) return false;
  const auto& f = field(index);
  if (!f.IsMemo()) return Assign(index, text);
  dirty_ = true;
  PutMemoBlock(f, record_.data(), 0);
  if (text.empty()) return true;
  std::string problem;
  std::string converted;
  if (Translated(f)) {
    converted = converter_->ToTable(text);
    text = converted;
  }
  uint32_t block = memo_->Append(text, f.type != 'M', &problem, options_.lock_timeout_ms);
  // Outside a batch (a record changed after Flush) the memo goes out now.
  if (block != 0 && !batch_ && !memo_->Commit(&problem)) block = 0;
  if (block == 0) {
    Report("memo of field " + f.name + " not stored: " + problem);
    return false;
  }
  PutMemoBlock(f, record_.data(), block);
  return true;
}

bool Table::Go(uint32_t number) {
  if (closed_ || !FinishAppended() || !CommitBatch()) return false;
  if (number == 0) return false;
  if (number > header_.record_count) {
    uint8_t count[4];
    if (file_->ReadAt(4, count, 4)) header_.record_count = GetLe32(count);
    if (number > header_.record_count) return false;
  }
  uint64_t offset = header_.header_length + uint64_t{number - 1} * header_.record_length;
  std::vector<uint8_t> record(header_.record_length);
  if (!file_->ReadAt(offset, record.data(), record.size())) {
    Report("record " + std::to_string(number) + " beyond the end of the file");
    return false;
  }
  record_ = std::move(record);
  current_ = number;
  return true;
}

std::string Table::Value(int index) {
  if (current_ == 0 || index < 0 || static_cast<size_t>(index) >= header_.fields.size()) return "";
  const auto& f = field(index);
  if (f.IsMemo()) {
    uint32_t block = MemoBlockOf(f, record_.data());
    if (block == 0 || !memo_) return "";
    std::string problem;
    auto memo = memo_->Read(block, &problem);
    if (!memo) {
      Report("record " + std::to_string(current_) + ", field " + f.name + ": " + problem);
      return "";
    }
    return Translated(f) ? converter_->FromTable(*memo) : *memo;
  }
  std::string value = DecodeField(f, record_.data(), NullFlags());
  return Translated(f) ? converter_->FromTable(value) : value;
}

std::string Table::StoredValue(int index, std::string_view text) {
  if (index < 0 || static_cast<size_t>(index) >= header_.fields.size()) return "";
  const auto& f = field(index);
  const bool translated = Translated(f);
  const std::string stored = TextForField(f, text, translated ? converter_.get() : nullptr,
                                         IsUtf8CodeSet(options_.system_code_set));
  text = stored;
  if (f.IsMemo()) return translated ? converter_->FromTable(text) : std::string(text);
  std::vector<uint8_t> record = blank_;
  const int nf = header_.NullFlagsField();
  uint8_t* null_flags = nf < 0 ? nullptr : record.data() + header_.fields[static_cast<size_t>(nf)].offset;
  EncodeField(f, text, record.data(), null_flags);
  std::string value = DecodeField(f, record.data(), null_flags);
  return translated ? converter_->FromTable(value) : value;
}

bool Table::Flush() {
  if (closed_) return false;
  bool ok = FinishAppended();
  ok = CommitBatch() && ok;
  if (ok && index_dirty_ && env_->MonotonicMs() - index_written_ms_ >= options_.index_write_ms) ok = WriteIndexes();
  return ok;
}

// Writes the production indexes. Each index file takes its own lock, the
// one every program that reads or changes it takes, so the table stays open
// to other programs' appends meanwhile. The records the keys point to are
// in the file already.
bool Table::WriteIndexes() {
  if (indexes_.empty()) return true;
  bool ok = true;
  for (auto& index : indexes_) {
    std::string problem;
    if (!index->Finish(&problem)) {
      Report("index not written: " + problem);
      ok = false;
    }
  }
  index_written_ms_ = env_->MonotonicMs();
  if (ok) index_dirty_ = false;
  return ok;
}

bool Table::SetTableFlags(uint8_t flags) {
  if (closed_ || options_.read_only) return false;
  // A byte of the header: changed under the header lock (a batch holds it).
  const bool held = header_lock_.has_value();
  if (!LockHeader()) {
    Report("header locked by another program; table flags not written");
    return false;
  }
  const bool ok = file_->WriteAt(Head(), 28, &flags, 1);
  if (!held) UnlockHeader();
  if (ok) header_.table_flags = flags;
  return ok;
}

bool Table::Close() {
  if (closed_) return true;
  bool ok = FinishAppended();
  ok = CommitBatch() && ok;
  const uint64_t hlen = header_.header_length;
  ok = WriteIndexes() && ok;
  if (modified_) {
    // Date and count as they stand now (others may have appended too), and
    // the end-of-file byte after the last record. When another writer holds
    // the header, our batches have written both already and it will finish
    // the file itself.
    if (LockHeader()) {
      uint8_t count[4];
      if (file_->ReadAt(4, count, 4)) header_.record_count = GetLe32(count);
      StampToday(header_, *env_);
      uint8_t area[kCountAreaSize];
      PutDateAndCount(area, header_);
      ok = file_->WriteAt(Head(), kCountAreaOffset, area, sizeof area) && ok;
      uint64_t end = hlen + uint64_t{header_.record_count} * header_.record_length;
      auto size = file_->Size();
      if (size && *size == end) {
        uint8_t eof = kEndOfFile;
        ok = file_->WriteAt(Head(), end, &eof, 1) && ok;
      }
      UnlockHeader();
    }
    if (!ok) Report("not closed cleanly");
  }
  closed_ = true;
  memo_.reset();
  header_lock_.reset();
  file_.reset();
  return ok;
}

// Takes back the record appended last. The record first goes out like any
// other (so the indexes and the memo file are in the state the take-back
// reverses); then, under the header lock:
//  - when it is still the last record of the file, the file is cut before
//    it, the count goes down by one, its memo blocks are given back and any
//    autoincrement counter it advanced steps back, so the next append gets
//    the same number;
//  - when another program has appended after it, it can't be cut out and is
//    marked deleted instead, which every xBase program honours.
// Its index keys are taken out in both cases; an index that can't do that
// keeps the record where it is (false), since a key without its record
// would be worse than a record too many.
bool Table::UndoAppend() {
  if (closed_ || options_.read_only || appended_here_.empty()) return false;
  // An earlier append (the one before a record already taken back) is read
  // back first, so that its keys and memo blocks can go with it.
  if (current_ != appended_here_.back() && !Go(appended_here_.back())) return false;
  const bool keys_added = !appended_;
  if (!keys_added) appended_ = false;  // the indexes never see it
  const uint32_t number = current_;
  if (keys_added) {
    for (auto& index : indexes_) {
      std::string problem;
      if (!index->RemoveRecord(number, record_, &problem)) {
        Report("record " + std::to_string(number) + " not taken back: " + problem);
        return false;
      }
    }
  }
  if (!CommitBatch() || !WriteRecord()) return false;
  // An index file that may hold the record's keys loses them before the
  // record goes: a key must never point past the table's last record.
  if (keys_added) {
    index_dirty_ = true;
    if (!WriteIndexes()) return false;
  }

  const uint64_t hlen = header_.header_length;
  if (!LockHeader()) {
    Report("header locked by another program; record " + std::to_string(number) + " not taken back");
    return false;
  }
  bool ok = true;
  uint8_t count_bytes[4];
  if (!file_->ReadAt(4, count_bytes, 4)) {
    Report("header unreadable; record " + std::to_string(number) + " not taken back");
    ok = false;
  } else if (GetLe32(count_bytes) == number) {
    const uint64_t end = hlen + uint64_t{number - 1} * header_.record_length;
    const uint8_t eof = kEndOfFile;
    header_.record_count = number - 1;
    StampToday(header_, *env_);
    uint8_t area[kCountAreaSize];
    PutDateAndCount(area, header_);
    ok = file_->WriteAt(Head(), kCountAreaOffset, area, sizeof area) && file_->WriteAt(Head(), end, &eof, 1) &&
         file_->Truncate(Head(), end + 1);
    for (size_t i = 0; ok && i < header_.fields.size(); ++i) {
      const auto& f = header_.fields[i];
      if (!f.IsAutoIncrement() || f.type != 'I') continue;
      uint8_t next[4];
      const uint64_t at = kTableHeaderSize + i * kFieldDescriptorSize + 19;
      const uint32_t value = GetLe32(record_.data() + f.offset);
      if (file_->ReadAt(at, next, 4) && GetLe32(next) == value + f.autoinc_step) {
        PutLe32(next, value);
        ok = file_->WriteAt(Head(), at, next, 4);
      }
    }
    uint32_t first_memo = 0;
    for (const auto& f : header_.fields) {
      if (!f.IsMemo()) continue;
      const uint32_t block = MemoBlockOf(f, record_.data());
      if (block != 0 && (first_memo == 0 || block < first_memo)) first_memo = block;
    }
    std::string problem;
    if (ok && first_memo != 0 && memo_ && !memo_->TakeBack(first_memo, &problem, options_.lock_timeout_ms))
      Report("memo of record " + std::to_string(number) + " not given back: " + problem);
    if (!ok) Report("record " + std::to_string(number) + " not taken back: cannot write the file");
    committed_count_ = header_.record_count;
  } else {
    // Counted, and others may read it: changed under its record lock.
    record_[0] = '*';
    const uint64_t offset = hlen + uint64_t{number - 1} * header_.record_length;
    auto lock = file_->LockRecord(number, header_.header_length, header_.record_length);
    ok = lock.has_value();
    if (!ok) {
      Report("record " + std::to_string(number) + " locked by another program; not marked deleted");
    } else {
      ok = file_->WriteAt(*lock, offset, record_.data(), record_.size());
      lock.reset();
      if (!ok) Report("record " + std::to_string(number) + " not marked deleted: cannot write the file");
    }
  }
  UnlockHeader();
  if (ok) {
    current_ = 0;
    appended_here_.pop_back();
    dirty_ = false;
    modified_ = true;
  }
  return ok;
}

}  // namespace xbase
