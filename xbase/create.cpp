#include "xbase/create.h"

#include "xbase/index/table_adapter.h"
#include "xbase/os_file.h"

#include <utility>

namespace xbase {

namespace ix = index;

namespace {

std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const size_t slash = path.find_last_of(kPathSeparators);
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

void Report(const TableOptions& options, const std::string& line) {
  if (options.sink) options.sink->Report(line);
}

// Moves the made parts of a new table into place, the .dbf last.
bool MoveIntoPlace(const std::string& work_path, const std::string& path) {
  for (const char* ext : {".dbt", ".fpt", ".cdx", ".mdx"}) {
    const std::string part = CompanionName(work_path, ext);
    if (FileExists(part) && !MoveFileOver(part, CompanionName(path, ext))) return false;
  }
  return MoveFileOver(work_path, path);
}

}  // namespace

// Beside the file, so that the moves stay on one volume.
std::string WorkFolder(const std::string& path) {
  auto [dir, name] = SplitPath(path);
  return dir + "." + name + ".new";
}

std::string InWorkFolder(const std::string& path) {
  auto [dir, name] = SplitPath(path);
  const char separator = dir.empty() ? '/' : dir.back();
  return WorkFolder(path) + separator + name;
}

std::string FreeNameBeside(const std::string& path, const std::string& suffix) {
  std::string name = path + suffix;
  for (int n = 2; FileExists(name); ++n) name = path + suffix + std::to_string(n);
  return name;
}

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  auto file = OsFile::Create(path, true, error);
  return file && file->WriteAt(0, bytes.data(), bytes.size()) && file->Sync();
}

bool CreateTable(const std::string& path, TableLayout layout, const std::vector<ix::TagDescription>& tags,
                 const std::vector<uint8_t>& index_file_header, bool replace, const TableOptions& options) {
  const ix::IndexKind kind = ix::ProductionIndexKind(layout.header);
  std::string unusable;
  if (!tags.empty()) unusable = ix::ProductionIndex::CheckTags(kind, tags, ix::FieldsOf(layout.header));
  if (!unusable.empty()) Report(options, path + ": created without a production index: " + unusable);
  if (!replace && FileExists(path)) {
    Report(options, path + ": exists already");
    return false;
  }
  const std::string folder = WorkFolder(path), work_path = InWorkFolder(path);
  if (!RemoveFolder(folder) || !MakeFolder(folder)) {
    Report(options, path + ": cannot make the folder " + folder + " to create it in");
    return false;
  }
  layout.indexed = !tags.empty() && unusable.empty();
  if (layout.indexed) layout.header.table_flags |= 0x01;
  auto table = Table::Create(work_path, layout, true, options);
  bool ok = table != nullptr;
  if (ok && layout.indexed) {
    std::string problem;
    auto index = ix::ProductionIndex::Create(ix::ProductionIndexName(work_path, table->header()), kind, tags,
                                             ix::FieldsOf(table->header()), &problem, index_file_header);
    if (!index) {
      Report(options, path + ": created without a production index: " + problem);
      ok = table->SetTableFlags(static_cast<uint8_t>(table->header().table_flags & ~0x01));
    }
  }
  if (table) ok = table->Close() && ok;
  table.reset();
  if (ok && !MoveIntoPlace(work_path, path)) {
    Report(options, path + ": cannot move the new file into place");
    ok = false;
  }
  RemoveFolder(folder);
  return ok;
}

}  // namespace xbase
