// Message pump for handlers that wait on the service thread.
#pragma once

namespace tidewell {

// Takes every message queued to the calling thread without waiting and
// dispatches it; stops at an empty queue or a quit message (which is not
// dispatched). True when a quit message was met.
bool ProcessMessages();

}  // namespace tidewell
