#include "platform/IniFile.h"

#include <fstream>
#include <optional>
#include <sstream>

#include "common/Text.h"

namespace platform {

namespace {

struct TEntry {
  std::string Section;
  std::string Key;
  std::string Value;
};

// Blanks here are spaces and tabs, as for Windows' profile functions; control
// characters inside a value are kept.
std::string TrimBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

std::optional<std::vector<TEntry>> Parse(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<TEntry> entries;
  std::optional<std::string> section;
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    first = false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = TrimBlanks(line);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      const auto close = line.find(']');
      section = TrimBlanks(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      continue;
    }
    if (!section) continue;  // pairs before the first section belong nowhere
    const auto eq = line.find('=');
    TEntry entry{*section, TrimBlanks(line.substr(0, eq)), {}};
    if (eq != std::string::npos) {
      std::string value = TrimBlanks(line.substr(eq + 1));
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
      entry.Value = std::move(value);
    }
    if (entry.Key.empty()) continue;
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  const auto entries = Parse(FFileName);
  if (entries) {
    for (const auto& e : *entries)
      if (tidewell::SameText(e.Section, section) && tidewell::SameText(e.Key, key))
        return e.Value.substr(0, MaxProfileValue);
  }
  return defaultValue.substr(0, MaxProfileValue);
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  std::vector<std::string> keys;
  const auto entries = Parse(FFileName);
  if (!entries) return keys;
  for (const auto& e : *entries) {
    if (!tidewell::SameText(e.Section, section)) continue;
    bool seen = false;
    for (const auto& k : keys) seen = seen || tidewell::SameText(k, e.Key);
    if (!seen) keys.push_back(e.Key);
  }
  return keys;
}

}  // namespace platform
