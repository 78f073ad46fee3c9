#include "platform/System.h"

#include <cstdio>

namespace platform {

void PrintMessage(const std::string& text, const std::string& caption, TBoxKind kind) {
  FILE* out = kind == TBoxKind::Error ? stderr : stdout;
  if (caption.empty())
    std::fprintf(out, "%s\n", text.c_str());
  else
    std::fprintf(out, "%s: %s\n", caption.c_str(), text.c_str());
  std::fflush(out);
}

}  // namespace platform
