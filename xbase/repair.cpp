#include "xbase/repair.h"

#include "xbase/byte_order.h"
#include "xbase/create.h"
#include "xbase/index/table_adapter.h"
#include "xbase/locks.h"
#include "xbase/os_file.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace xbase {

namespace {

namespace ix = index;

NullSink g_dropped;

ErrorSink& SinkOf(const TableOptions& options) { return options.sink ? *options.sink : g_dropped; }

// The tags (with their header bytes) and file header of a table's
// production index, read from the index file; false when it can't be read.
bool TagsOfIndex(const std::string& table_path, std::vector<ix::TagDescription>* tags,
                 std::vector<uint8_t>* file_header) {
  TableOptions options;
  options.read_only = true;
  auto table = Table::Open(table_path, options);
  const auto path = table ? ix::FindProductionIndex(table_path, table->header()) : std::nullopt;
  std::string problem;
  auto index = path ? ix::ProductionIndex::Open(*path, ix::FieldsOf(table->header()), &problem) : nullptr;
  if (!index) return false;
  *tags = index->tags();
  *file_header = index->file_header();
  return true;
}

// Puts `bytes` over the file at `path` in place: for an index that could
// not be replaced because another program holds it (Windows). The file
// was damaged or missing keys already; what is written is whole.
bool OverwriteInPlace(const std::string& from, const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string error;
  auto source = OsFile::Open(from, OsFile::Access::kReadOnly, &error);
  auto size = source ? source->Size() : std::nullopt;
  if (!size) return false;
  bytes.resize(static_cast<size_t>(*size));
  auto target = OsFile::Open(path, OsFile::Access::kReadWrite, &error);
  return source->ReadAt(0, bytes.data(), bytes.size()) && target && target->WriteAt(0, bytes.data(), bytes.size()) &&
         target->Truncate(bytes.size()) && target->Sync();
}

// Builds the production index of `table` anew from its records, beside the
// old one, and puts it in place; returns it opened, or null (reported).
std::unique_ptr<ix::ProductionIndex> RebuildIndex(Table& table, const std::vector<ix::TagDescription>& tags,
                                                  const std::vector<uint8_t>& file_header, ErrorSink& sink,
                                                  const std::string& why) {
  const auto fields = ix::FieldsOf(table.header());
  const std::string final_path =
      FindCompanionFile(table.path(), ix::ProductionIndexKind(table.header()) == ix::IndexKind::kCdx ? ".cdx" : ".mdx")
          .value_or(ix::ProductionIndexName(table.path(), table.header()));
  const std::string folder = WorkFolder(final_path), work_path = InWorkFolder(final_path);
  std::string problem;
  bool ok = RemoveFolder(folder) && MakeFolder(folder);
  if (ok) {
    auto index = ix::ProductionIndex::Create(work_path, ix::ProductionIndexKind(table.header()), tags, fields, &problem,
                                             file_header);
    ok = index != nullptr;
    for (uint32_t r = 1; ok && r <= table.record_count(); ++r)
      ok = table.Go(r) && index->AddRecord(r, table.record_bytes(), &problem);
    ok = ok && index->Flush(&problem);
  }
  ok = ok && (MoveFileOver(work_path, final_path) || OverwriteInPlace(work_path, final_path));
  RemoveFolder(folder);
  auto rebuilt = ok ? ix::ProductionIndex::Open(final_path, fields, &problem) : nullptr;
  if (!rebuilt) {
    sink.Report(final_path + ": production index " + why + " and could not be rebuilt: " +
                (problem.empty() ? "cannot write it" : problem));
    return nullptr;
  }
  sink.Report(final_path + ": production index " + why + "; rebuilt from the table's " +
              std::to_string(table.record_count()) + " records");
  return rebuilt;
}

// The lock scheme of the table at `path`, from its header's first bytes.
LockScheme SchemeOf(const std::string& path, const uint8_t* fixed) {
  TableHeader probe;
  probe.version = fixed[0];
  return LockScheme::ForTable(probe.FlavorOfVersion(),
                              (fixed[28] & 0x01) != 0 && FindCompanionFile(path, ".cdx").has_value());
}

// A header that counts more records than the file holds (cut inside a
// record, a count raised by another program) leaves the table unopenable,
// and every run would stop at it. The count becomes what the file holds;
// the bytes of the torn record after the last whole one are kept in a file
// of their own beside it, and the end-of-file byte follows the last record.
// Done under the header lock, so that a writer of another program that
// appends under it is waited for. True when something was repaired.
bool RepairCountBeyondFile(const std::string& path, const TableOptions& options) {
  std::string error;
  auto opened = OsFile::Open(path, OsFile::Access::kReadWrite, &error);
  uint8_t fixed[kTableHeaderSize];
  if (!opened || !opened->ReadAt(0, fixed, sizeof fixed)) return false;
  const uint32_t header_length = fixed[8] | (fixed[9] << 8), record_length = fixed[10] | (fixed[11] << 8);
  if (header_length <= kTableHeaderSize || record_length == 0) return false;
  const auto before = opened->Size();
  if (!before || *before < header_length || GetLe32(fixed + 4) <= (*before - header_length) / record_length) return false;
  SharedFile shared(std::move(opened), FileRole::kTable, SchemeOf(path, fixed),
                    LockWait{options.lock_timeout_ms, options.cancelled});
  SharedFile* file = &shared;
  const auto header_lock = file->LockFile(true);
  if (!header_lock) return false;
  bool repaired = false;
  auto size = file->Size();
  uint8_t count_bytes[4];
  if (size && *size >= header_length && file->ReadAt(4, count_bytes, 4)) {
    const uint32_t count = GetLe32(count_bytes);
    const uint64_t held = (*size - header_length) / record_length;
    if (uint64_t{count} > held) {
      const uint64_t end = header_length + held * record_length;
      std::vector<uint8_t> torn(static_cast<size_t>(*size - end));
      std::string aside;
      bool ok = file->ReadAt(end, torn.data(), torn.size());
      if (ok && !torn.empty() && !(torn.size() == 1 && torn[0] == kEndOfFile)) {
        aside = FreeNameBeside(path, ".torn");
        ok = WriteWholeFile(aside, torn, &error);
      }
      uint8_t held_bytes[4] = {static_cast<uint8_t>(held), static_cast<uint8_t>(held >> 8),
                               static_cast<uint8_t>(held >> 16), static_cast<uint8_t>(held >> 24)};
      const uint8_t eof = kEndOfFile;
      ok = ok && file->WriteAt(*header_lock, 4, held_bytes, 4) && file->Truncate(*header_lock, end + 1) &&
           file->WriteAt(*header_lock, end, &eof, 1) && file->Sync();
      if (ok)
        SinkOf(options).Report(path + ": header counted " + std::to_string(count) + " records, the file holds " +
                         std::to_string(held) + "; count set to " + std::to_string(held) +
                         (aside.empty() ? std::string() : ", the torn record's " + std::to_string(torn.size()) +
                                                               " bytes kept in " + aside));
      else
        SinkOf(options).Report(path + ": header counts " + std::to_string(count) + " records, the file holds " +
                         std::to_string(held) + ", and the count can't be repaired" +
                         (error.empty() ? std::string() : ": " + error));
      repaired = ok;
    }
  }
  return repaired;
}

}  // namespace

// Opens a table with its production index, kept up to date on every append
// when the engine can keep all of its tags. An index behind the table (a
// writer that died before writing it) gets the missing keys at once; one
// that is missing, damaged or ahead of the table is rebuilt from it.
std::unique_ptr<Table> OpenRepaired(const std::string& path, const TableOptions& options,
                                    const std::string& index_template) {
  ErrorSink& sink = SinkOf(options);
  if (!options.read_only) RepairCountBeyondFile(path, options);
  auto table = Table::Open(path, options);
  if (!table || options.read_only) return table;
  // A creation killed after its .dbf was moved in leaves its empty folder.
  RemoveFolder(WorkFolder(path));
  if ((table->header().table_flags & 0x01) == 0) return table;
  const auto index_path = ix::FindProductionIndex(path, table->header());
  std::string problem;
  const ix::IndexLockWait wait{options.lock_timeout_ms, options.cancelled};
  auto index =
      index_path ? ix::ProductionIndex::Open(*index_path, ix::FieldsOf(table->header()), &problem, wait, options.env)
                 : nullptr;
  std::string broken = !index_path ? "missing" : !index ? "damaged (" + problem + ")" : "";
  // The highest record any tag holds, and the lowest of each tag's highest:
  // a writer killed between two tag switches leaves some tags behind others.
  uint32_t indexed_through = 0;
  std::optional<uint32_t> every_tag_through;
  if (index) {
    if (const std::string why = index->Unmaintainable(); !why.empty()) {
      sink.Report(*index_path + ": production index not kept up to date: " + why);
      return table;
    }
    for (size_t t = 0; t < index->tags().size(); ++t) {
      uint32_t through = 0;
      index->Walk(t, [&](std::string_view, uint32_t record) {
        through = std::max(through, record);
        return true;
      });
      indexed_through = std::max(indexed_through, through);
      // A tag with a FOR condition may leave out the last records rightly.
      if (index->tags()[t].filter.empty())
        every_tag_through = std::min(every_tag_through.value_or(through), through);
    }
    if (indexed_through > table->record_count())
      broken = "ahead of the table (a key for record " + std::to_string(indexed_through) + ")";
  }
  if (!broken.empty()) {
    std::vector<ix::TagDescription> tags;
    std::vector<uint8_t> file_header;
    if (index_template.empty() || !TagsOfIndex(index_template, &tags, &file_header)) {
      sink.Report((index_path ? *index_path : path) + ": production index not kept up to date: " + broken +
                  (index_template.empty() ? "" : "; the template " + index_template + " gives no tags"));
      return table;
    }
    index = RebuildIndex(*table, tags, file_header, sink, broken);
    if (index) table->AddIndex(std::make_unique<ix::TableIndex>(std::move(index)));
    return table;
  }
  // Keys a record has already are not added twice, so the records after the
  // tag that is furthest behind are given to every tag.
  const uint32_t from = std::min(indexed_through, every_tag_through.value_or(indexed_through)) + 1;
  size_t keys_before = 0, keys_after = 0;
  for (size_t t = 0; t < index->tags().size(); ++t) keys_before += index->KeyCount(t);
  for (uint32_t r = from; r <= table->record_count(); ++r) {
    if (!table->Go(r) || !index->AddRecord(r, table->record_bytes(), &problem)) {
      sink.Report(*index_path + ": record " + std::to_string(r) + " could not be added to the index: " + problem);
      return table;
    }
  }
  for (size_t t = 0; t < index->tags().size(); ++t) keys_after += index->KeyCount(t);
  if (keys_after != keys_before) {
    if (!index->Flush(&problem)) sink.Report(*index_path + ": " + problem);
    sink.Report(*index_path + ": records " + std::to_string(from) + " to " + std::to_string(table->record_count()) +
                " were missing from the index and have been added");
  }
  table->AddIndex(std::make_unique<ix::TableIndex>(std::move(index)));
  return table;
}

bool RebuildProductionIndex(std::unique_ptr<Table>& table, const std::string& index_template,
                            const TableOptions& options) {
  if (!table) return false;
  ErrorSink& sink = SinkOf(options);
  std::vector<ix::TagDescription> tags;
  std::vector<uint8_t> file_header;
  if (!TagsOfIndex(table->path(), &tags, &file_header) &&
      (index_template.empty() || !TagsOfIndex(index_template, &tags, &file_header))) {
    sink.Report(table->path() + ": no index tags to rebuild the production index with");
    return false;
  }
  // The table is opened again without its index, so that the old one is
  // not written over the new one when the table closes.
  const std::string path = table->path();
  table->Close();
  table.reset();
  auto bare = Table::Open(path, options);
  if (!bare) return false;
  auto index = RebuildIndex(*bare, tags, file_header, sink, "rebuilt on request");
  if (!index) return false;
  if ((bare->header().table_flags & 0x01) == 0) bare->SetTableFlags(static_cast<uint8_t>(bare->header().table_flags | 0x01));
  bare->AddIndex(std::make_unique<ix::TableIndex>(std::move(index)));
  table = std::move(bare);
  return true;
}

bool HeaderMissing(const std::string& path) {
  std::string error;
  auto file = OsFile::Open(path, OsFile::Access::kReadOnly, &error);
  auto size = file ? file->Size() : std::nullopt;
  if (!size) return false;
  uint8_t fixed[kTableHeaderSize];
  if (*size < sizeof fixed || !file->ReadAt(0, fixed, sizeof fixed)) return true;
  // Too short for the header it announces: cut inside the header.
  const uint64_t header_length = fixed[8] | (fixed[9] << 8);
  return header_length > kTableHeaderSize && *size < header_length;
}

long SalvageHeader(const std::string& path, const std::string& model, const TableOptions& options) {
  ErrorSink& sink = SinkOf(options);
  std::string error;
  std::vector<uint8_t> old;
  {
    auto file = OsFile::Open(path, OsFile::Access::kReadOnly, &error);
    if (!file) return FileExists(path) ? kSalvageFailed : kSalvageRecreate;
    auto size = file->Size();
    if (!size) return kSalvageFailed;
    if (*size == 0) return kSalvageRecreate;  // nothing in it to keep
    old.resize(static_cast<size_t>(*size));
    if (!file->ReadAt(0, old.data(), old.size())) return kSalvageFailed;
  }
  // The template's header, as its file holds it.
  std::vector<uint8_t> header;
  uint32_t record_length = 0;
  {
    TableOptions reading;
    reading.read_only = true;
    auto tmpl = model.empty() ? nullptr : Table::Open(model, reading);
    auto raw = tmpl ? OsFile::Open(model, OsFile::Access::kReadOnly, &error) : nullptr;
    if (raw) {
      header.resize(tmpl->header().header_length);
      record_length = tmpl->header().record_length;
      if (!raw->ReadAt(0, header.data(), header.size())) header.clear();
    }
  }
  if (header.size() <= kTableHeaderSize || record_length == 0) {
    sink.Report(path + ": holds no complete table header, and no template to salvage it with" +
                      (model.empty() ? std::string() : " (" + model + " does not open)") + "; left as it is");
    return kSalvageFailed;
  }
  const std::string aside = FreeNameBeside(path, ".damaged");
  // The field descriptors, up to their terminator: the same bytes mean the
  // same layout, so the records are where the template's layout puts them.
  size_t end = kTableHeaderSize;
  while (end < header.size() && header[end] != 0x0D) end += 32;
  const bool same = end < header.size() && old.size() >= header.size() &&
                    std::equal(header.begin() + kTableHeaderSize, header.begin() + static_cast<long>(end + 1),
                               old.begin() + kTableHeaderSize);
  if (!same) {
    // Not this table: kept whole, with its memo and index, for whoever
    // looks; the file is made again.
    bool ok = MoveFileOver(path, aside);
    for (const char* ext : {".fpt", ".dbt", ".cdx", ".mdx"})
      if (const auto part = FindCompanionFile(path, ext); ok && part)
        MoveFileOver(*part, FreeNameBeside(*part, ".damaged"));
    sink.Report(path + ": holds no table laid out like " + model + " (" + std::to_string(old.size()) +
                      " bytes)" + (ok ? "; kept whole as " + aside + ", to be made again from the template"
                                      : "; can't be moved aside, left as it is"));
    return ok ? kSalvageRecreate : kSalvageFailed;
  }
  if (!WriteWholeFile(aside, old, &error)) {
    sink.Report(path + ": holds no complete table header and can't be kept aside (" + error +
                      "); left as it is");
    return kSalvageFailed;
  }
  const uint64_t held = (old.size() - header.size()) / record_length;
  const size_t records_end = header.size() + static_cast<size_t>(held) * record_length;
  std::vector<uint8_t> torn(old.begin() + static_cast<long>(records_end), old.end());
  std::string torn_aside;
  if (!torn.empty() && !(torn.size() == 1 && torn[0] == kEndOfFile)) {
    torn_aside = FreeNameBeside(path, ".torn");
    if (!WriteWholeFile(torn_aside, torn, &error)) torn_aside.clear();
  }
  std::vector<uint8_t> mended = header;
  for (int i = 0; i < 4; ++i) mended[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(held >> (8 * i));
  // The date of the last update, when the damaged one still reads as one.
  if (old[2] >= 1 && old[2] <= 12 && old[3] >= 1 && old[3] <= 31) std::copy(old.begin() + 1, old.begin() + 4, mended.begin() + 1);
  mended.insert(mended.end(), old.begin() + static_cast<long>(header.size()), old.begin() + static_cast<long>(records_end));
  mended.push_back(kEndOfFile);
  const std::string work = FreeNameBeside(path, ".salvage");
  if (!WriteWholeFile(work, mended, &error) || !MoveFileOver(work, path)) {
    RemoveFile(work);
    sink.Report(path + ": holds no complete table header; kept whole as " + aside +
                      ", but can't be salvaged (" + error + "); left as it is");
    return kSalvageFailed;
  }
  sink.Report(path + ": holds no complete table header; kept whole as " + aside + ", salvaged with " +
                    std::to_string(held) + " records where the layout of " + model + " puts them" +
                    (torn_aside.empty() ? std::string() : " (a torn record's " + std::to_string(torn.size()) +
                                                              " bytes kept in " + torn_aside + ")"));
  return static_cast<long>(held);
}

bool RemoveTableIfEmpty(const std::string& path) {
  std::string error;
  auto opened = OsFile::Open(path, OsFile::Access::kReadWrite, &error);
  auto size = opened ? opened->Size() : std::nullopt;
  uint8_t fixed[kTableHeaderSize];
  if (!size || *size < sizeof fixed || !opened->ReadAt(0, fixed, sizeof fixed)) return false;
  // Checked and removed under the append lock of the table's flavour, so
  // that another program's first record can't come in between.
  SharedFile file(std::move(opened), FileRole::kTable, SchemeOf(path, fixed));
  auto held = file.LockFile(true, 0);
  if (!held) return false;
  size = file.Size();
  uint8_t count[4];
  const uint64_t header_length = fixed[8] | (fixed[9] << 8);
  bool empty = size && file.ReadAt(4, count, 4) && GetLe32(count) == 0 &&
               (*size == header_length || *size == header_length + 1);
  std::vector<std::string> parts;
  if (empty)
    for (const char* ext : {".fpt", ".dbt", ".cdx", ".mdx"})
      if (auto part = FindCompanionFile(path, ext)) parts.push_back(*part);
  empty = empty && RemoveFile(path);
  held->Release();
  for (const auto& part : parts) RemoveFile(part);
  return empty;
}

}  // namespace xbase
