// The serial-port side's entry points. Detaching on the stop path is here; attaching, the poll
// and the callback come with the port bridge.
#include "driver/core/devext.h"
#include "driver/wire.h"
#include "platform/vxd/flat.h"

namespace {

LONG volatile* Interlocked(ULONG* field) {
  return reinterpret_cast<LONG volatile*>(field);
}

}  // namespace

// Without a name (the stop path): the port side is detached and, if it gave a callback, told so.
ULONG WDMInitForPort(DEVICE_OBJECT* deviceObject, const char* name) {
  if (name != nullptr) return 1;
  MDMContext& context = Extension(deviceObject)->modemContext;
  auto callback = static_cast<ULONG>(InterlockedExchange(Interlocked(&context.portCallback), 0));
  InterlockedExchange(Interlocked(&context.portAttached), 0);
  if (callback != 0) {
    PortRecord record{};
    record.function = PORT_DETACH;
    platform::vxd::FlatScope flat(record);
    if (PortCallback entry = platform::vxd::EntryFromFlat<PortCallbackType>(callback)) {
      entry(context.portContext, flat.flat());
    }
  }
  context.portContext = 0;
  return 1;
}

// Attaching comes with the port bridge; until then no unit is found.
ULONG wdm_disp_fn(ULONG) {
  return 0;
}

ULONG PollFnForVxD(ULONG) {
  return 0;
}
