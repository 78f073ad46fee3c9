#include "app/uLLFunc.h"

#include "platform/Messages.h"

namespace tidewell {

bool ProcessMessages() {
  platform::TMessage msg;
  while (platform::PeekMessage(msg, true)) {
    if (msg.Message == platform::WM_QUIT) return true;
    platform::DispatchMessage(msg);
  }
  return false;
}

}  // namespace tidewell
