#include "platform/ui/win32/observe.h"

namespace ui {
namespace {

bool MovesProgress(UINT message) {
  switch (message) {
    case PBM_SETRANGE:
    case PBM_SETPOS:
    case PBM_DELTAPOS:
    case PBM_SETSTEP:
    case PBM_STEPIT:
    case PBM_SETRANGE32:
      return true;
    default:
      return false;
  }
}

LRESULT CALLBACK ControlProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                             DWORD_PTR data) {
  auto* observer = reinterpret_cast<ControlObserver*>(data);
  LRESULT result = DefSubclassProc(control, message, wParam, lParam);
  if (message == EM_REPLACESEL && lParam != 0) {
    (*observer)(reinterpret_cast<const char*>(lParam));
  } else if (MovesProgress(message)) {
    (*observer)({});
  } else if (message == WM_NCDESTROY) {
    RemoveWindowSubclass(control, ControlProc, id);
    delete observer;
  }
  return result;
}

}  // namespace

ProgressState GetProgressState(HWND progressBar) {
  PBRANGE range{};
  SendMessageA(progressBar, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
  ProgressState state;
  state.low = range.iLow;
  state.high = range.iHigh;
  state.position = static_cast<int>(SendMessageA(progressBar, PBM_GETPOS, 0, 0));
  state.step = static_cast<int>(SendMessageA(progressBar, PBM_GETSTEP, 0, 0));
  return state;
}

namespace win32 {

void ObserveControls(HWND dialog, const DialogTemplate& dialogTemplate, const ViewFactory& views) {
  if (!views) return;
  for (const DialogItem& item : dialogTemplate.items) {
    ControlObserver observer = views(dialog, item);
    if (!observer) continue;
    auto* held = new ControlObserver(std::move(observer));
    if (!SetWindowSubclass(GetDlgItem(dialog, item.id), ControlProc, static_cast<UINT_PTR>(item.id),
                           reinterpret_cast<DWORD_PTR>(held))) {
      delete held;
    }
  }
}

}  // namespace win32
}  // namespace ui
