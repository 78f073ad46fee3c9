#include "tools/dbfcheck/dbf_repair.h"

#include "dbf/CodeBase.h"
#include "tools/dbfcheck/dbf_check.h"
#include "xbase/os_file.h"

#include <filesystem>
#include <sstream>

namespace tidewell::tools {

namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// {folder with its separator, last name}
std::pair<std::string, std::string> Split(const std::string& path) {
  const size_t at = path.find_last_of(xbase::kPathSeparators);
  if (at == std::string::npos) return {"", path};
  return {path.substr(0, at + 1), path.substr(at + 1)};
}

// Makes `path` again from the template (only read): its fields and index tags.
bool Recreate(CodeHandle code, const std::string& path, const std::string& template_path) {
  const int read_only = code4readOnly(code, 1);
  DbfHandle model = d4open(code, template_path.c_str());
  code4readOnly(code, read_only);
  if (!model) return false;
  FIELD4INFO* fields = d4fieldInfo(model);
  IndexHandle index = d4index(model, nullptr);
  TAG4INFO* tags = index ? i4tagInfo(index) : nullptr;
  const int previous = code4safety(code, 0);
  DbfHandle made = d4create(code, path.c_str(), fields, tags);
  code4safety(code, previous);
  if (tags) u4freeDefault(tags);
  u4freeDefault(fields);
  d4close(model);
  return made != nullptr;
}

}  // namespace

std::string TemplateBeside(const std::string& path) {
  auto [folder, name] = Split(path);
  if (folder.empty()) return "";
  auto [netw, table] = Split(folder.substr(0, folder.size() - 1));
  table = Lower(table);
  const char* model = table == "weight" ? "gstru.dbf" : table == "action" ? "astru.dbf" : nullptr;
  if (!model) return "";
  return xbase::FindCompanionFile(netw + model, ".dbf").value_or("");
}

int RepairDbf(const std::string& path, const std::string& template_path, std::ostream& report) {
  // Only a file is repaired: a folder (or a device) given by mistake is
  // never made again in place, just reported by the check.
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (!ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
    return CheckDbf(path, report);
  const std::string model = template_path.empty() ? TemplateBeside(path) : template_path;
  code4setReport([&report](const std::string& line) { report << line << "\n"; });
  CodeHandle code = code4initP();
  code4indexTemplate(code, model.c_str());
  if (d4headerMissing(path.c_str())) {
    // It may hold records: kept whole beside it, and salvaged when it is
    // laid out like the template; made again only once it is out of the way.
    const long salvaged = d4salvage(code, path.c_str(), model.c_str());
    if (salvaged == -1 && !model.empty() && Recreate(code, path, model)) {
      report << path << ": made again from " << model << "\n";
    } else if (salvaged < 0) {
      if (salvaged == -1) report << path << ": no template to make it again from\n";
      code4initUndoP(code);
      code4setReport(nullptr);
      return CheckDbf(path, report) + 1;
    }
  }
  // Opening repairs the count, the end of the file and an index that is
  // missing, damaged, ahead or behind.
  if (DbfHandle data = d4open(code, path.c_str())) {
    d4close(data);
    std::ostringstream ignored;
    // An index that reads but disagrees with the records is built anew.
    if (CheckDbf(path, ignored) > 0) {
      if (DbfHandle again = d4open(code, path.c_str())) {
        d4reindex(again);
        d4close(again);
      }
    }
  } else {
    report << path << ": cannot open\n";
  }
  code4initUndoP(code);
  code4setReport(nullptr);
  return CheckDbf(path, report);
}

}  // namespace tidewell::tools
