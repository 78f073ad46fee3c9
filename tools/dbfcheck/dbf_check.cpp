#include "tools/dbfcheck/dbf_check.h"

#include "xbase/field_codec.h"
#include "xbase/index/index_image.h"
#include "xbase/index/production_index.h"
#include "xbase/index/table_adapter.h"
#include "xbase/memo_file.h"
#include "xbase/os_file.h"
#include "xbase/table_header.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

namespace tidewell::tools {

namespace {

using xbase::index::KeyEntry;
using xbase::index::ProductionIndex;
using xbase::index::RawRecord;

class Report {
 public:
  Report(const std::string& path, std::ostream& out) : path_(path), out_(out) {}
  void Fault(const std::string& line) {
    ++faults_;
    out_ << path_ << ": FAULT: " << line << "\n";
  }
  void Note(const std::string& line) { out_ << path_ << ": " << line << "\n"; }
  int faults() const { return faults_; }

 private:
  std::string path_;
  std::ostream& out_;
  int faults_ = 0;
};

// The whole file, or false with what went wrong: a folder, a file that
// can't be opened or one whose reading fails is a fault to report, never
// an exception.
bool ReadBytes(const std::string& path, std::vector<uint8_t>& bytes, std::string& problem) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) {
    problem = "can't open the file: it does not exist";
    return false;
  }
  if (std::filesystem::is_directory(status)) {
    problem = "can't open the file: it is a folder";
    return false;
  }
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    problem = std::string("can't open the file: ") + std::strerror(errno);
    return false;
  }
  bytes.clear();
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  const bool failed = std::ferror(f) != 0;
  const int error = errno;
  std::fclose(f);
  if (failed) {
    problem = std::string("can't read the file: ") + std::strerror(error);
    return false;
  }
  return true;
}

const char* MemoExtension(xbase::MemoKind kind) { return kind == xbase::MemoKind::kFpt ? ".fpt" : ".dbt"; }

void CheckMemos(const std::string& path, const xbase::TableHeader& header, const std::vector<uint8_t>& file,
                Report& report) {
  if (!header.HasMemoFields()) return;
  xbase::MemoKind kind = header.MemoKindForFields();
  auto memo_path = kind == xbase::MemoKind::kNone ? std::nullopt : xbase::FindCompanionFile(path, MemoExtension(kind));
  if (!memo_path) {
    report.Fault("memo fields but no memo file");
    return;
  }
  std::string problem;
  auto memo = xbase::MemoFile::Open(*memo_path, kind, false, &problem);
  if (!memo) {
    report.Fault("memo file " + *memo_path + ": " + problem);
    return;
  }
  size_t bad = 0, memos = 0;
  for (uint32_t r = 0; r < header.record_count; ++r) {
    const uint8_t* record = file.data() + header.header_length + size_t{r} * header.record_length;
    for (const auto& f : header.fields) {
      if (!f.IsMemo()) continue;
      uint32_t block = xbase::MemoBlockOf(f, record);
      if (block == 0) continue;
      ++memos;
      if (!memo->Read(block, &problem) && bad++ < 10)
        report.Fault("record " + std::to_string(r + 1) + " field " + f.name + ": memo block " +
                     std::to_string(block) + ": " + problem);
    }
  }
  if (bad > 10) report.Fault(std::to_string(bad) + " unreadable memos in all");
  report.Note(std::to_string(memos) + " memos read");
}

void CheckIndex(const std::string& path, const xbase::TableHeader& header, const std::vector<uint8_t>& file,
                Report& report) {
  bool flagged = (header.table_flags & 0x01) != 0;
  auto kind = xbase::index::ProductionIndexKind(header);
  auto index_path = xbase::FindCompanionFile(path, kind == xbase::index::IndexKind::kCdx ? ".cdx" : ".mdx");
  if (!flagged) {
    report.Note(index_path ? "no production index flag; " + *index_path + " is not checked" : "no production index");
    return;
  }
  if (!index_path) {
    report.Fault("the table flag names a production index, but there is no such file");
    return;
  }
  auto fields = xbase::index::FieldsOf(header);
  std::string problem;
  auto index = ProductionIndex::Open(*index_path, fields, &problem);
  if (!index) {
    report.Fault(problem);
    return;
  }
  // The file's own order, not the engine's sets: read the image again.
  std::vector<uint8_t> bytes;
  if (!ReadBytes(*index_path, bytes, problem)) {
    report.Fault(*index_path + ": " + problem);
    return;
  }
  auto key_type_of = [&](const xbase::index::TagDescription& d) -> char {
    for (const auto& t : index->tags())
      if (t.name == d.name) return t.key_type;
    return 0;
  };
  auto image = kind == xbase::index::IndexKind::kCdx ? xbase::index::ReadCdx(bytes, key_type_of, &problem)
                                                      : xbase::index::ReadMdx(bytes, &problem);
  if (!image || image->tags.size() != index->tags().size()) {
    report.Fault(*index_path + ": " + problem);
    return;
  }
  if (std::string why = index->Unmaintainable(); !why.empty()) report.Note("can't evaluate: " + why);

  for (size_t t = 0; t < image->tags.size(); ++t) {
    const auto& desc = index->tags()[t];
    const auto& entries = image->tags[t].entries;
    std::string name = "tag " + desc.name + " (" + desc.expression + (desc.filter.empty() ? "" : " FOR " + desc.filter) + ")";
    bool descending = xbase::index::StoredDescending(kind, desc);
    for (size_t i = 1; i < entries.size(); ++i) {
      if (!xbase::index::EntryBefore(entries[i - 1], entries[i], descending)) {
        report.Fault(name + ": key " + std::to_string(i + 1) + " (record " + std::to_string(entries[i].record) +
                     ") is out of order");
        break;
      }
    }
    if (!index->Unmaintainable().empty()) {
      report.Note(name + ": " + std::to_string(entries.size()) + " keys, not compared with the records");
      continue;
    }
    // Record number -> key the file holds; a second key for a record is a fault.
    std::map<uint32_t, std::string> held;
    size_t faults_before = static_cast<size_t>(report.faults());
    auto limited = [&](const std::string& line) {
      if (static_cast<size_t>(report.faults()) - faults_before < 10) report.Fault(line);
    };
    for (const auto& e : entries) {
      if (e.record == 0 || e.record > header.record_count) limited(name + ": key for record " + std::to_string(e.record) + ", which does not exist");
      else if (!held.emplace(e.record, e.key).second) limited(name + ": record " + std::to_string(e.record) + " has two keys");
    }
    std::set<std::string> unique_seen;
    size_t expected = 0;
    for (uint32_t r = 1; r <= header.record_count; ++r) {
      RawRecord record(fields, {file.data() + header.header_length + size_t{r - 1} * header.record_length, header.record_length}, r);
      auto key = index->KeyOf(t, record);
      if (key && desc.unique && !unique_seen.insert(*key).second) key.reset();
      auto it = held.find(r);
      if (!key) {
        if (it != held.end()) limited(name + ": record " + std::to_string(r) + " has a key but should have none");
        continue;
      }
      ++expected;
      if (it == held.end()) limited(name + ": record " + std::to_string(r) + " has no key");
      else if (it->second != *key) limited(name + ": record " + std::to_string(r) + " has a key that differs from its expression");
    }
    report.Note(name + ": " + std::to_string(entries.size()) + " keys, " + std::to_string(expected) + " expected");
  }
}

}  // namespace

int CheckDbf(const std::string& path, std::ostream& out) {
  Report report(path, out);
  std::vector<uint8_t> file;
  std::string problem;
  if (!ReadBytes(path, file, problem)) {
    report.Fault(problem);
    out << path << ": " << report.faults() << " fault(s)\n";
    return report.faults();
  }
  auto length = xbase::PeekHeaderLength(std::span<const uint8_t>(file).first(std::min<size_t>(32, file.size())), &problem);
  if (!length || *length > file.size()) {
    report.Fault(length ? "header length beyond the end of the file" : problem);
    return report.faults();
  }
  auto header = xbase::ParseTableHeader(std::span<const uint8_t>(file).first(*length), file.size(), &problem);
  if (!header) {
    report.Fault(problem);
    return report.faults();
  }
  uint64_t end = header->header_length + uint64_t{header->record_count} * header->record_length;
  if (end > file.size()) {
    report.Fault("the header counts " + std::to_string(header->record_count) + " records; the file holds " +
                 std::to_string((file.size() - header->header_length) / std::max<uint16_t>(1, header->record_length)));
    return report.faults();
  }
  if (end == file.size() || file[end] != 0x1A) report.Fault("no end-of-file byte 1A after the last record");
  else if (end + 1 != file.size()) report.Fault(std::to_string(file.size() - end - 1) + " bytes after the end-of-file byte");
  report.Note(std::to_string(header->record_count) + " records of " + std::to_string(header->record_length) + " bytes");
  CheckMemos(path, *header, file, report);
  CheckIndex(path, *header, file, report);
  out << path << ": " << (report.faults() == 0 ? "OK" : std::to_string(report.faults()) + " fault(s)") << "\n";
  return report.faults();
}

}  // namespace tidewell::tools
