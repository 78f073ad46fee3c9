// An in-process service manager: a registration table in memory, a
// dispatcher that starts the service at once, control codes sent by the test,
// and every status report recorded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

#include "platform/ServiceManager.h"

namespace tidewell::test {

class TTestServiceManager : public platform::TServiceManager {
 public:
  // Failures to answer with, 0 for none.
  int OpenError = 0, DispatchError = 0, RegisterError = 0, StatusError = 0;
  std::map<std::string, platform::TServiceRegistration> Registered;

  int Open() override { return OpenError; }
  void Close() override {}
  int AddService(const platform::TServiceRegistration& r) override;
  int RemoveService(const std::string& name) override;
  int StartDispatcher(const std::vector<std::string>& names, platform::TServiceMain serviceMain) override;
  int RegisterControlHandler(const std::string& name, platform::TControlHandler handler) override;
  int SetServiceStatus(const std::string& name, const platform::TServiceStatusRecord& status) override;
  int SetStatusText(const std::string& name, const std::string& text) override;
  std::string SystemText(int code) override { return "text of " + std::to_string(code); }

  // Hands a control code to the service as the service manager would;
  // waits until the service has registered its handler.
  void Send(std::uint32_t code);
  // Waits for a report of that state after the first `after` reports;
  // returns its index or -1 on timeout.
  int WaitForState(std::uint32_t state, size_t after = 0,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::vector<platform::TServiceStatusRecord> Reports();
  std::vector<std::string> Texts();

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  platform::TControlHandler FHandler;
  std::vector<platform::TServiceStatusRecord> FReports;
  std::vector<std::string> FTexts;
};

}  // namespace tidewell::test
