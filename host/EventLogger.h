// TEventLogger: error entries in the system event log under one source name.
#pragma once

#include <functional>
#include <string>

namespace tidewell {

class TEventLogger {
 public:
  explicit TEventLogger(std::string source) : FSource(std::move(source)) {}
  virtual ~TEventLogger() = default;
  // One error entry with the text.
  virtual void LogEvent(const std::string& text);
  const std::string& Source() const { return FSource; }

  // Also copy every entry to standard error (the foreground modes, where an
  // administrator watches the terminal rather than the journal).
  static void SetEchoToConsole(bool echo);
  // Sends every entry here instead of to the system log (tests); empty restores it.
  static void SetSinkForTesting(std::function<void(const std::string& source, const std::string& text)> sink);

 private:
  std::string FSource;
};

}  // namespace tidewell
