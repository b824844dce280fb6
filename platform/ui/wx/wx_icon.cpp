#include "platform/ui/wx/wx_icon.h"

#include <wx/bitmap.h>
#include <wx/dcmemory.h>

namespace ui::wx {

wxIcon ProgramIcon(int size) {
  wxBitmap bitmap(size, size, 32);
  bitmap.UseAlpha();
  {
    wxMemoryDC dc(bitmap);
    dc.SetBackground(*wxWHITE_BRUSH);
    dc.Clear();
    const int unit = size / 16;
    // The modem's case.
    dc.SetPen(wxPen(wxColour(40, 40, 60), unit > 0 ? unit : 1));
    dc.SetBrush(wxBrush(wxColour(70, 90, 140)));
    dc.DrawRoundedRectangle(unit, 9 * unit, 14 * unit, 5 * unit, unit);
    // Its lights.
    dc.SetBrush(wxBrush(wxColour(80, 230, 80)));
    for (int k = 0; k < 3; ++k) dc.DrawCircle(4 * unit + 3 * k * unit, 11 * unit + unit / 2, unit);
    // The arrow of the download.
    dc.SetBrush(wxBrush(wxColour(230, 150, 20)));
    dc.SetPen(wxPen(wxColour(150, 90, 0), 1));
    const wxPoint arrow[] = {{6 * unit, unit},      {10 * unit, unit},    {10 * unit, 4 * unit},
                             {13 * unit, 4 * unit}, {8 * unit, 8 * unit}, {3 * unit, 4 * unit},
                             {6 * unit, 4 * unit}};
    dc.DrawPolygon(7, arrow);
  }
  wxIcon icon;
  icon.CopyFromBitmap(bitmap);
  return icon;
}

}  // namespace ui::wx
