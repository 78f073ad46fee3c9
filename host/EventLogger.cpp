#include "host/EventLogger.h"

#include <atomic>
#include <mutex>

#include "platform/System.h"

namespace tidewell {
namespace {
std::atomic<bool> EchoToConsole{false};
std::mutex SinkLock;
std::function<void(const std::string&, const std::string&)> Sink;
}  // namespace

void TEventLogger::SetSinkForTesting(std::function<void(const std::string&, const std::string&)> sink) {
  std::lock_guard<std::mutex> lock(SinkLock);
  Sink = std::move(sink);
}

void TEventLogger::SetEchoToConsole(bool echo) { EchoToConsole = echo; }

void TEventLogger::LogEvent(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(SinkLock);
    if (Sink) {
      Sink(FSource, text);
      return;
    }
  }
  platform::WriteEventLog(FSource, text);
  if (EchoToConsole) platform::ShowMessageBox(text, FSource, platform::TBoxKind::Error);
}

}  // namespace tidewell
