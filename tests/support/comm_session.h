// The updater's one COM-port session, fresh for each test: set up with its read and write
// events, and closed again with its port and both events.
#pragma once

#include "updater/serial/serial.h"

namespace testing_support {

inline void StartCommSession() {
  commPortSession = CommPortSession{};
  commPortSession.readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  commPortSession.writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

inline void EndCommSession() {
  CloseCommPort();
  CloseHandle(commPortSession.readEvent);
  CloseHandle(commPortSession.writeEvent);
  commPortSession.readEvent = nullptr;
  commPortSession.writeEvent = nullptr;
}

}  // namespace testing_support
