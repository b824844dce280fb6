// The window backend: the toolkit's start and end, and the platform's standard dialogs (message
// box, open-file dialog) shown by the toolkit on its own thread for whichever thread asks.
#include <wx/app.h>
#include <wx/filedlg.h>
#include <wx/init.h>
#include <wx/msgdlg.h>

#include <algorithm>
#include <cstdlib>

#include "platform/ui/dialogs.h"
#include "platform/ui/window_backend.h"
#include "platform/ui/wx/wx_dialog.h"
#include "platform/ui/wx/wx_pump.h"

namespace ui {
namespace {

bool started = false;

wxString ToolkitText(const std::string& text) {
  return wxString(text.data(), wxConvISO8859_1, text.size());
}

int ShowMessageBox(const MessageBoxRequest& request) {
  long style = (request.type & 0xF) == MB_YESNO ? wxYES_NO : wxOK;
  style |= (request.type & 0xF0) == MB_ICONQUESTION  ? wxICON_QUESTION
           : (request.type & 0xF0) == MB_ICONWARNING ? wxICON_WARNING
                                                     : wxICON_INFORMATION;
  wxMessageDialog box(wxTheApp->GetTopWindow(), ToolkitText(request.text),
                      ToolkitText(request.caption), style);
  int answer = box.ShowModal();
  return answer == wxID_YES ? IDYES : answer == wxID_NO ? IDNO : IDOK;
}

// The platform's filter pairs become the toolkit's "description|pattern|..." list.
wxString Wildcard(const std::vector<std::string>& filter) {
  wxString wildcard;
  for (std::size_t i = 0; i + 1 < filter.size(); i += 2) {
    if (!wildcard.empty()) wildcard += "|";
    wildcard += ToolkitText(filter[i] + " (" + filter[i + 1] + ")|" + filter[i + 1]);
  }
  return wildcard;
}

std::string HostPath(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// The standard open-file dialog. A typed name of a file that does not exist is accepted, as the
// platform's dialog with OFN_CREATEPROMPT accepts it once the user agrees to create it.
std::optional<std::string> ShowFileDialog(const FileDialogRequest& request) {
  std::string name = request.initialName.find('*') == std::string::npos ? request.initialName : "";
  wxFileDialog dialog(wxTheApp->GetTopWindow(), ToolkitText(request.title),
                      ToolkitText(HostPath(request.initialFolder)), ToolkitText(name),
                      Wildcard(request.filter), wxFD_OPEN);
  if (request.filterIndex > 0) dialog.SetFilterIndex(static_cast<int>(request.filterIndex) - 1);
  if ((request.flags & OFN_FILEMUSTEXIST) != 0)
    dialog.SetWindowStyle(wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  if (dialog.ShowModal() != wxID_OK) return std::nullopt;
  const wxScopedCharBuffer path = dialog.GetPath().mb_str(wxConvISO8859_1);
  return std::string(path.data(), path.length());
}

}  // namespace

bool StartWindowBackend(int argc, char** argv) {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return false;
  // The toolkit sees only the program's name: the options are the program's own.
  static char defaultName[] = "mdm";
  static char* toolkitArgv[] = {argc > 0 && argv != nullptr ? argv[0] : defaultName, nullptr};
  int toolkitArgc = 1;
  wxApp::SetInstance(new wxApp());
  if (!wxEntryStart(toolkitArgc, toolkitArgv)) return false;
  started = true;
  SetModalBackend([](const DialogTemplate& dialog, WindowProc proc) {
    return wx::ShowModalDialog(dialog, proc);
  });
  SetMessageBoxAnswer([](const MessageBoxRequest& request) {
    int answer = IDNO;
    wx::RunOnToolkitThread([&] { answer = ShowMessageBox(request); });
    return answer;
  });
  SetFileDialogAnswer([](const FileDialogRequest& request) {
    std::optional<std::string> chosen;
    wx::RunOnToolkitThread([&] { chosen = ShowFileDialog(request); });
    return chosen;
  });
  return true;
}

void StopWindowBackend() {
  if (!started) return;
  SetModalBackend({});
  SetMessageBoxAnswer({});
  SetFileDialogAnswer({});
  wxEntryCleanup();
  started = false;
}

}  // namespace ui
