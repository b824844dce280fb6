#include "platform/ui/controls.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace ui {
namespace {

constexpr UINT kGetProgressState = WM_USER + 0x3F0;  // private: fills a ProgressState

struct EditState {
  std::string text;
  std::size_t selStart = 0;
  std::size_t selEnd = 0;
  ControlObserver observer;
};

std::size_t Clamp(LONG_PTR value, std::size_t size) {
  if (value < 0) return size;  // -1 stands for the end of the text
  return std::min(static_cast<std::size_t>(value), size);
}

LRESULT EditProc(EditState& edit, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(edit.text.size());
    case WM_GETTEXT: {
      if (wParam == 0 || lParam == 0) return 0;
      std::size_t count = std::min<std::size_t>(wParam - 1, edit.text.size());
      auto* buffer = reinterpret_cast<char*>(lParam);
      std::memcpy(buffer, edit.text.data(), count);
      buffer[count] = '\0';
      return static_cast<LRESULT>(count);
    }
    case WM_SETTEXT:
      edit.text = lParam != 0 ? reinterpret_cast<const char*>(lParam) : "";
      edit.selStart = edit.selEnd = 0;
      return TRUE;
    case EM_SETSEL: {
      auto start = static_cast<LONG_PTR>(static_cast<INT>(wParam));
      edit.selStart = Clamp(start, edit.text.size());
      edit.selEnd = Clamp(lParam, edit.text.size());
      if (edit.selStart > edit.selEnd) std::swap(edit.selStart, edit.selEnd);
      return 0;
    }
    case EM_REPLACESEL: {
      std::string_view inserted = lParam != 0 ? reinterpret_cast<const char*>(lParam) : "";
      edit.text.replace(edit.selStart, edit.selEnd - edit.selStart, inserted);
      edit.selStart = edit.selEnd = edit.selStart + inserted.size();
      if (edit.observer) edit.observer(inserted);
      return 0;
    }
    default:
      return 0;
  }
}

LRESULT ProgressProc(ProgressState& bar, const ControlObserver& observer, UINT message,
                     WPARAM wParam, LPARAM lParam) {
  LRESULT previous = bar.position;
  switch (message) {
    case PBM_SETRANGE:
      previous = (bar.high << 16) | (bar.low & 0xFFFF);
      bar.low = static_cast<int>(lParam & 0xFFFF);
      bar.high = static_cast<int>((lParam >> 16) & 0xFFFF);
      bar.position = std::clamp(bar.position, bar.low, std::max(bar.low, bar.high));
      break;
    case PBM_SETPOS:
      bar.position = std::clamp(static_cast<int>(wParam), bar.low, std::max(bar.low, bar.high));
      break;
    case PBM_DELTAPOS:
      bar.position =
          std::clamp(bar.position + static_cast<int>(wParam), bar.low, std::max(bar.low, bar.high));
      break;
    case PBM_SETSTEP:
      previous = bar.step;
      bar.step = static_cast<int>(wParam);
      break;
    case PBM_STEPIT:
      bar.position += bar.step;
      if (bar.position > bar.high) bar.position = bar.low + (bar.position - bar.high);  // wraps
      break;
    case PBM_GETPOS:
      return bar.position;
    case kGetProgressState:
      *reinterpret_cast<ProgressState*>(lParam) = bar;
      return 0;
    default:
      return 0;
  }
  if (observer) observer({});
  return previous;
}

}  // namespace

HWND CreateEditControl(HWND parent, int id, ControlObserver observer) {
  auto edit = std::make_shared<EditState>();
  edit->observer = std::move(observer);
  return CreateWindowObject(parent, id, [edit](HWND, UINT message, WPARAM w, LPARAM l) {
    return EditProc(*edit, message, w, l);
  });
}

HWND CreateProgressBar(HWND parent, int id, ControlObserver observer) {
  auto bar = std::make_shared<ProgressState>();
  return CreateWindowObject(
      parent, id, [bar, observer = std::move(observer)](HWND, UINT message, WPARAM w, LPARAM l) {
        return ProgressProc(*bar, observer, message, w, l);
      });
}

ProgressState GetProgressState(HWND progressBar) {
  ProgressState state;
  SendMessageA(progressBar, kGetProgressState, 0, reinterpret_cast<LPARAM>(&state));
  return state;
}

}  // namespace ui
