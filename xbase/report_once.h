// ReportOnce: hands each distinct report line on once, so that a file
// retried 21 times in a run is reported damaged once, not 21 times.
#pragma once

#include "xbase/error_sink.h"

#include <set>
#include <string>

namespace xbase {

class ReportOnce final : public ErrorSink {
 public:
  // `next` must outlive this sink.
  explicit ReportOnce(ErrorSink& next) : next_(next) {}
  void Report(const std::string& line) override {
    if (seen_.insert(line).second) next_.Report(line);
  }

 private:
  ErrorSink& next_;
  std::set<std::string> seen_;
};

}  // namespace xbase
