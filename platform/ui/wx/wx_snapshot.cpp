#include "platform/ui/wx/wx_snapshot.h"

#include <wx/button.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/gauge.h>
#include <wx/image.h>
#include <wx/imagpng.h>
#include <wx/statbox.h>
#include <wx/textctrl.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace ui::wx {
namespace {

// Long enough for the toolkit to paint what changed last, short against the time the window
// stays up after a simulated update.
constexpr int kSettleMs = 400;
// No window manager draws a frame under Xvfb; the picture gets a caption of its own so that it
// shows the window's title as a framed window would.
constexpr int kCaptionHeight = 24;

std::string Escaped(const wxString& text) {
  const wxScopedCharBuffer bytes = text.mb_str(wxConvISO8859_1);
  std::string out;
  for (std::size_t i = 0; i < bytes.length(); ++i) {
    const auto c = static_cast<unsigned char>(bytes.data()[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The client area as the screen shows it.
wxBitmap GrabClientArea(wxDialog& dialog) {
  const wxPoint origin = dialog.ClientToScreen(wxPoint(0, 0));
  const wxSize size = dialog.GetClientSize();
  wxBitmap bitmap(size, 24);
  wxScreenDC screen;
  wxMemoryDC memory(bitmap);
  memory.Blit(0, 0, size.x, size.y, &screen, origin.x, origin.y);
  return bitmap;
}

wxImage Framed(wxDialog& dialog, const wxBitmap& client) {
  wxBitmap picture(client.GetWidth(), client.GetHeight() + kCaptionHeight, 24);
  wxMemoryDC dc(picture);
  dc.GradientFillLinear(wxRect(0, 0, picture.GetWidth(), kCaptionHeight), wxColour(10, 36, 106),
                        wxColour(166, 202, 240));
  int textX = 6;
  const wxIcon icon = dialog.GetIcon();
  if (icon.IsOk()) {
    dc.DrawIcon(icon, 4, (kCaptionHeight - icon.GetHeight()) / 2);
    textX += icon.GetWidth() + 2;
  }
  dc.SetFont(dialog.GetFont().Bold());
  dc.SetTextForeground(*wxWHITE);
  const wxString title = dialog.GetTitle();
  dc.DrawText(title, textX, (kCaptionHeight - dc.GetTextExtent(title).y) / 2);
  dc.DrawBitmap(client, 0, kCaptionHeight);
  dc.SelectObject(wxNullBitmap);
  return picture.ConvertToImage();
}

bool WritePpm(const wxImage& image, const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << image.GetWidth() << ' ' << image.GetHeight() << "\n255\n";
  out.write(reinterpret_cast<const char*>(image.GetData()),
            static_cast<std::streamsize>(image.GetWidth()) * image.GetHeight() * 3);
  return static_cast<bool>(out);
}

const char* KindOf(wxWindow* view) {
  if (dynamic_cast<wxButton*>(view) != nullptr) return "button";
  if (dynamic_cast<wxGauge*>(view) != nullptr) return "gauge";
  if (dynamic_cast<wxTextCtrl*>(view) != nullptr) return "text";
  if (dynamic_cast<wxStaticBox*>(view) != nullptr) return "groupbox";
  return "other";
}

void WriteControl(std::ofstream& out, int id, wxWindow* view) {
  const wxRect at = view->GetRect();
  out << "control id=" << id << " kind=" << KindOf(view) << " x=" << at.x << " y=" << at.y
      << " width=" << at.width << " height=" << at.height
      << " shown=" << (view->IsShownOnScreen() ? 1 : 0);
  if (auto* gauge = dynamic_cast<wxGauge*>(view)) {
    out << " range=" << gauge->GetRange() << " value=" << gauge->GetValue();
  } else if (auto* text = dynamic_cast<wxTextCtrl*>(view)) {
    out << " text=\"" << Escaped(text->GetValue()) << '"';
  } else {
    out << " text=\"" << Escaped(view->GetLabel()) << '"';
  }
  out << '\n';
}

// One line for the window, one for the dialog units, one per control in creation (tab) order.
bool WriteReport(wxDialog& dialog, const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  const wxSize client = dialog.GetClientSize();
  const wxSize units = dialog.ConvertDialogToPixels(wxSize(400, 800));
  out << "window title=\"" << Escaped(dialog.GetTitle()) << "\" width=" << client.x
      << " height=" << client.y << " caption=" << kCaptionHeight
      << " shown=" << (dialog.IsShownOnScreen() ? 1 : 0) << '\n';
  out << "units x400=" << units.x << " y800=" << units.y << '\n';
  for (wxWindow* child : dialog.GetChildren()) {
    int id = child->GetId();
    // The buttons that end the dialog carry the toolkit's ids.
    if (id == wxID_OK) id = 1;
    if (id == wxID_CANCEL) id = 2;
    WriteControl(out, id, child);
  }
  return static_cast<bool>(out);
}

}  // namespace

std::unique_ptr<Snapshot> Snapshot::FromEnvironment(wxDialog& dialog) {
  const char* path = std::getenv("MDM_UI_SNAPSHOT");
  if (path == nullptr || *path == '\0') return nullptr;
  return std::make_unique<Snapshot>(dialog, path);
}

Snapshot::Snapshot(wxDialog& dialog, std::string path) : dialog_(dialog), path_(std::move(path)) {
  settle_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Capture(); });
}

void Snapshot::ViewChanged(bool progressMoved) {
  if (taken_) return;
  armed_ = armed_ || progressMoved;
  if (armed_) settle_.StartOnce(kSettleMs);  // each change starts the still moment anew
}

void Snapshot::Capture() {
  if (taken_ || !dialog_.IsShownOnScreen()) return;
  taken_ = true;
  if (wxImage::FindHandler(wxBITMAP_TYPE_PNG) == nullptr) wxImage::AddHandler(new wxPNGHandler);
  const wxImage picture = Framed(dialog_, GrabClientArea(dialog_));
  // The report comes last: a reader that finds it finds the pictures complete.
  bool written = picture.SaveFile(path_, wxBITMAP_TYPE_PNG) && WritePpm(picture, path_ + ".ppm") &&
                 WriteReport(dialog_, path_ + ".txt");
  if (!written) std::fprintf(stderr, "snapshot: cannot write %s\n", path_.c_str());
}

}  // namespace ui::wx
