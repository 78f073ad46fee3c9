#include "app/uLLFunc.h"

#include "platform/Messages.h"

namespace tidewell {

bool ProcessMessages() {
  platform::TMessage msg;
  while (platform::PeekNextMessage(msg, true)) {
    if (msg.Message == platform::MsgQuit) return true;
    platform::DispatchNextMessage(msg);
  }
  return false;
}

}  // namespace tidewell
