// ErrorSink: where the engine reports damage and refused input.
//
// The engine never throws for bad files. It returns a failure (null, false,
// empty memo) and hands one readable line to the sink, so the layer above can
// put it into the program's log. The sink must outlive every object that was
// given it.
#pragma once

#include <string>

namespace xbase {

class ErrorSink {
 public:
  virtual ~ErrorSink() = default;
  virtual void Report(const std::string& line) = 0;
};

// A sink that drops everything; for callers that only want the result.
class NullSink final : public ErrorSink {
 public:
  void Report(const std::string&) override {}
};

}  // namespace xbase
