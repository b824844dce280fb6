// A picture of a shown dialog, for checks of the real window (under Xvfb): with MDM_UI_SNAPSHOT
// set to a file name, the dialog is captured from the screen once its progress bar has moved and
// its controls have then been still for a moment, so that what was painted matches the state the
// report gives. Three files are written:
//   FILE       PNG: a caption with the window's title and icon, above the client area as captured
//   FILE.ppm   the same picture as binary PPM, for tests that read pixels without an image library
//   FILE.txt   the window and each control: kind, id, rectangle in client pixels, text, gauge state
#pragma once

#include <wx/dialog.h>
#include <wx/timer.h>

#include <memory>
#include <string>

namespace ui::wx {

class Snapshot {
 public:
  // None when the environment asks for no snapshot.
  static std::unique_ptr<Snapshot> FromEnvironment(wxDialog& dialog);

  Snapshot(wxDialog& dialog, std::string path);

  // A control's view changed; `progressMoved` when the gauge stands beyond its start.
  void ViewChanged(bool progressMoved);

 private:
  void Capture();

  wxDialog& dialog_;
  std::string path_;
  bool armed_ = false;  // the gauge has moved: a still moment is awaited
  bool taken_ = false;
  wxTimer settle_;
};

}  // namespace ui::wx
