#include "host/EventLogger.h"

#include <atomic>

#include "platform/System.h"

namespace tidewell {
namespace {
std::atomic<bool> EchoToConsole{false};
}

void TEventLogger::SetEchoToConsole(bool echo) { EchoToConsole = echo; }

void TEventLogger::LogEvent(const std::string& text) {
  platform::ReportEvent(FSource, text);
  if (EchoToConsole) platform::MessageBox(text, FSource, platform::TBoxKind::Error);
}

}  // namespace tidewell
