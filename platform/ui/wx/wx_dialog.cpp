#include "platform/ui/wx/wx_dialog.h"

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/gauge.h>
#include <wx/statbox.h>
#include <wx/textctrl.h>

#include <map>
#include <memory>

#include "platform/ui/wx/wx_icon.h"
#include "platform/ui/wx/wx_pump.h"
#include "platform/ui/wx/wx_snapshot.h"

namespace ui::wx {
namespace {

// The buttons that end a dialog carry the toolkit's ids, so that Esc finds Cancel.
int ToolkitId(int id) {
  return id == IDOK ? wxID_OK : id == IDCANCEL ? wxID_CANCEL : id;
}
int PlatformId(int id) {
  return id == wxID_OK ? IDOK : id == wxID_CANCEL ? IDCANCEL : id;
}

// The platform's text is 8-bit with CR LF line ends; the toolkit's is Unicode with LF.
wxString ToToolkitText(std::string_view text) {
  std::string lines;
  for (char c : text) {
    if (c != '\r') lines += c;
  }
  return wxString(lines.data(), wxConvISO8859_1, lines.size());
}

wxWindow* MakeControl(wxDialog& owner, const DialogItem& item) {
  wxPoint at = owner.ConvertDialogToPixels(wxPoint(item.x, item.y));
  wxSize size = owner.ConvertDialogToPixels(wxSize(item.cx, item.cy));
  wxString text = ToToolkitText(item.text != nullptr ? item.text : "");
  switch (item.kind) {
    case ControlKind::kEdit:
      return new wxTextCtrl(&owner, item.id, text, at, size,
                            wxTE_MULTILINE | wxTE_READONLY | wxVSCROLL);
    case ControlKind::kProgressBar:
      return new wxGauge(&owner, item.id, 100, at, size, wxGA_HORIZONTAL | wxGA_SMOOTH);
    case ControlKind::kGroupBox:
      return new wxStaticBox(&owner, item.id, text, at, size);
    case ControlKind::kDefPushButton: {
      auto* button = new wxButton(&owner, ToolkitId(item.id), text, at, size);
      button->SetDefault();
      return button;
    }
    case ControlKind::kPushButton:
      return new wxButton(&owner, ToolkitId(item.id), text, at, size);
  }
  return nullptr;
}

// Keeps a control's view in step with its model, on the toolkit's thread; `snapshot` (if any)
// learns of each change. The views are painted by the toolkit's loop, never forced at once:
// a forced paint of the text view before it has laid out its new lines leaves stale lines on
// the screen, and one of the gauge keeps its old length.
ControlObserver ViewOf(wxWindow* view, HWND dialog, const DialogItem& item, Snapshot* snapshot) {
  if (auto* text = dynamic_cast<wxTextCtrl*>(view)) {
    return [text, snapshot](std::string_view inserted) {
      text->SetInsertionPointEnd();
      text->WriteText(ToToolkitText(inserted));
      text->ShowPosition(text->GetLastPosition());
      if (snapshot != nullptr) snapshot->ViewChanged(false);
    };
  }
  if (auto* gauge = dynamic_cast<wxGauge*>(view)) {
    return [gauge, dialog, id = item.id, snapshot](std::string_view) {
      ProgressState state = GetProgressState(GetDlgItem(dialog, id));
      gauge->SetRange(state.high > state.low ? state.high - state.low : 1);
      gauge->SetValue(state.position - state.low);
      if (snapshot != nullptr) snapshot->ViewChanged(state.position > state.low);
    };
  }
  return {};
}

}  // namespace

INT_PTR ShowModalDialog(const DialogTemplate& templ, WindowProc proc,
                        const ViewFactory& extraViews) {
  wxDialog dialog(nullptr, wxID_ANY, ToToolkitText(templ.title), wxDefaultPosition, wxDefaultSize,
                  wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxMINIMIZE_BOX);
  dialog.SetFont(
      wxFont(templ.pointSize, wxFONTFAMILY_SWISS, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_NORMAL));
  dialog.SetClientSize(dialog.ConvertDialogToPixels(wxSize(templ.cx, templ.cy)));
  std::map<int, wxWindow*> views;
  const std::unique_ptr<Snapshot> snapshot = Snapshot::FromEnvironment(dialog);
  StartPump();
  HWND window = CreateDialogWindows(
      templ,
      [proc = std::move(proc)](HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
        return AsDialogThread(proc, w, message, wParam, lParam);
      },
      [&](HWND owner, const DialogItem& item) -> ControlObserver {
        wxWindow* view = MakeControl(dialog, item);
        views[item.id] = view;
        ControlObserver own = ViewOf(view, owner, item, snapshot.get());
        ControlObserver extra = extraViews ? extraViews(owner, item) : ControlObserver{};
        if (!extra) return own;
        return [own, extra](std::string_view text) {
          if (own) own(text);
          extra(text);
        };
      });
  OnDialogEnd(window, [&dialog](INT_PTR result) { dialog.EndModal(static_cast<int>(result)); });
  OnDialogIconic(window, [&dialog] { return dialog.IsIconized(); });
  dialog.Bind(wxEVT_BUTTON, [window](wxCommandEvent& event) {
    int id = PlatformId(event.GetId());
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
  });
  dialog.Bind(wxEVT_CLOSE_WINDOW,
              [window](wxCloseEvent&) { SendMessageA(window, WM_CLOSE, 0, 0); });

  SendMessageA(window, WM_INITDIALOG, 0, 0);
  if (DialogIcon(window) != nullptr) {
    wxIconBundle icons;
    icons.AddIcon(ProgramIcon(16));
    icons.AddIcon(ProgramIcon(32));
    dialog.SetIcons(icons);
  }
  dialog.CentreOnScreen();
  int result = dialog.ShowModal();
  StopPump();
  PumpPendingMessages();  // answers what is still queued before the windows go
  DestroyDialogWindows(window);
  return result;
}

}  // namespace ui::wx
