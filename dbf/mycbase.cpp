#include "dbf/mycbase.h"

#include <mutex>
#include <vector>

#include "common/Text.h"
#include "logging/MessLog.h"
#include "platform/System.h"
#include "xbase/os_file.h"

namespace tidewell {
namespace {

constexpr int OpenAttempts = 21;
constexpr std::uint32_t OpenRetryMs = 100;

}  // namespace

// The library reports damaged files and the like; they belong in the log.
void RouteLibraryReports() {
  static std::once_flag once;
  std::call_once(once, [] {
    code4setReport([](const std::string& line) {
      if (MainLog) MainLog->Add(line);
    });
  });
}

std::string StripTrailingBackslash(const std::string& Path) {
  if (!Path.empty() && Path.back() == platform::PathDelim) return Path.substr(0, Path.size() - 1);
  return Path;
}

DbfHandle OpenDbf(CodeHandle Code, const std::string& FileName, const std::string& TagName) {
  RouteLibraryReports();
  std::string path;
  if (platform::ExtractFilePath(FileName).empty())
    path = StripTrailingBackslash(platform::GetCurrentDir()) + platform::PathDelim + Trim(FileName);
  else
    path = Trim(FileName);
  if (platform::ExtractFileExt(path).empty()) path += ".dbf";

  DbfHandle result = nullptr;
  if (!platform::FileExists(path)) {
    if (MainLog) MainLog->AddFmt("File %s NOT FOUND!", path);
  } else {
    int previous = code4errOpen(Code, 0);
    for (int attempt = 0; attempt < OpenAttempts; ++attempt) {
      result = d4open(Code, path.c_str());
      if (result || code4cancelled(Code)) break;
      platform::Sleep(OpenRetryMs);
    }
    code4errOpen(Code, previous);
  }
  if (result && !TagName.empty()) d4tagSelectP(result, d4tag(result, TagName.c_str()));
  return result;
}

bool CreateDbfLike(CodeHandle Code, const std::string& TemplateName, const std::string& NewName) {
  RouteLibraryReports();
  // A template is never written to: opened for writing, the engine would
  // mend what it finds (an end-of-file byte added, bytes past the last
  // record cut off).
  const int previous = code4readOnly(Code, 1);
  DbfHandle tmpl = OpenDbf(Code, TemplateName, "");
  code4readOnly(Code, previous);
  if (!tmpl) return false;
  FIELD4INFO* fields = d4fieldInfo(tmpl);
  IndexHandle index = d4index(tmpl, nullptr);
  TAG4INFO* tags = index ? i4tagInfo(index) : nullptr;
  const bool created = fields && d4create(Code, NewName.c_str(), fields, tags) != nullptr;
  if (tags) u4freeDefault(tags);
  u4freeDefault(fields);
  d4close(tmpl);
  return created;
}

bool AssignDbfField(DbfHandle Data, const std::string& FieldName, const std::string& Value, bool* Overflow) {
  if (Overflow) *Overflow = false;
  FieldHandle field = d4field(Data, FieldName.c_str());
  if (!field) return true;
  // The field is looked up again for the assignment: the handle looked up
  // first is only asked for its type.
  // A value that does not fit an ordinary field is stored as the format
  // allows and reported by the library; a memo that is not stored is lost.
  if (f4type(field) == 'M') return f4memoAssign(d4field(Data, FieldName.c_str()), Value.c_str()) == r4success;
  const int result = f4assign(d4field(Data, FieldName.c_str()), Value.c_str());
  if (Overflow) *Overflow = result == r4overflow;
  return true;
}

bool RemoveDbfWithoutRecords(const std::string& FileName) { return d4removeIfEmpty(FileName.c_str()); }

bool DbfNeedsCreating(const std::string& FileName) {
  return !platform::FileExists(FileName) || d4headerMissing(FileName.c_str()) != 0;
}

bool SalvageDbf(CodeHandle Code, const std::string& FileName, const std::string& TemplateName) {
  RouteLibraryReports();
  return d4salvage(Code, FileName.c_str(), TemplateName.c_str()) == -1;
}

bool RepairDbf(CodeHandle Code, const std::string& FileName, const std::string& TemplateName) {
  RouteLibraryReports();
  code4indexTemplate(Code, TemplateName.c_str());
  DbfHandle data = OpenDbf(Code, FileName, "");
  return data && d4close(data) == r4success;
}

}  // namespace tidewell
