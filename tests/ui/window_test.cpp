// The real window under a private Xvfb: `mdmsim update --gui` shows the update dialog during a
// simulated update, the window backend captures it (MDM_UI_SNAPSHOT) once the progress bar has
// moved, and the picture and its report must show resource 102 as laid out, the log's text and
// the gauge. The picture stays in the test's folder as update-window.png for people to look at.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "tests/support/run_program.h"
#include "tests/support/temp_root.h"
#include "tests/ui/snapshot_report.h"
#include "tests/ui/xvfb.h"
#include "updater/dialog/dialog.h"

namespace ui_test {
namespace {

namespace fs = std::filesystem;

const char* KindName(ui::ControlKind kind) {
  switch (kind) {
    case ui::ControlKind::kPushButton:
    case ui::ControlKind::kDefPushButton:
      return "button";
    case ui::ControlKind::kGroupBox:
      return "groupbox";
    case ui::ControlKind::kEdit:
      return "text";
    case ui::ControlKind::kProgressBar:
      return "gauge";
  }
  return "";
}

int Field(const Fields& fields, const char* name) {
  auto it = fields.find(name);
  return it == fields.end() ? -1 : std::stoi(it->second);
}

// Dialog units to the window's pixels, from the scale the window reported.
struct Scale {
  double x, y;
  int X(int units) const { return static_cast<int>(std::lround(units * x)); }
  int Y(int units) const { return static_cast<int>(std::lround(units * y)); }
};

// Whether a pixel belongs to the gauge's filled part (the theme's accent) or to text.
bool Accent(Picture::Pixel p) {
  return p.b > 150 && p.b > p.r + 60;
}
bool Dark(Picture::Pixel p) {
  return p.r + p.g + p.b < 300;
}

// How many columns of the rectangle (client coordinates) hold a pixel that matches.
template <typename Match>
int ColumnsWith(const Picture& picture, int top, const Fields& at, Match match) {
  int columns = 0;
  for (int x = Field(at, "x"); x < Field(at, "x") + Field(at, "width"); ++x) {
    for (int y = Field(at, "y"); y < Field(at, "y") + Field(at, "height"); ++y) {
      if (match(picture.At(x, top + y))) {
        ++columns;
        break;
      }
    }
  }
  return columns;
}

class UpdateWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(xvfb.display().empty()) << "Xvfb did not start (is the xvfb package installed?)";
    std::error_code ignored;
    for (const char* suffix : {"", ".ppm", ".txt"}) fs::remove(shot + suffix, ignored);
  }

  Xvfb xvfb;
  testing_support::TempRoot root;
  const std::string shot = (fs::current_path() / "update-window.png").string();
};

TEST_F(UpdateWindow, ShowsResource102WithTheLogAndTheGaugeDuringASimulatedUpdate) {
  testing_support::ProgramResult run = testing_support::RunProgram(
      MDMSIM_PATH, {"update", "--link", "serial", "--gui", "--gui-hold", "2500"}, root.path(),
      {{{"DISPLAY", xvfb.display()}, {"MDM_UI_SNAPSHOT", shot}}, std::chrono::seconds(240)});
  ASSERT_TRUE(run.inTime) << "mdmsim update --gui did not end\n" << run.out << run.err;
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("[mdmsim] COM3: holds the image byte for byte"), std::string::npos);

  std::optional<SnapshotReport> report = ReadSnapshotReport(shot + ".txt");
  ASSERT_TRUE(report) << "no snapshot was taken\n" << run.err;
  const Scale scale{Field(report->units, "x400") / 400.0, Field(report->units, "y800") / 800.0};
  ASSERT_GT(scale.x, 0.0);
  ASSERT_GT(scale.y, 0.0);

  // The window: title and client size of resource 102.
  EXPECT_EQ(report->window["title"], "Modem Flash Update");
  EXPECT_EQ(report->window["shown"], "1");
  EXPECT_NEAR(Field(report->window, "width"), scale.X(flashUpdateTemplate.cx), 1);
  EXPECT_NEAR(Field(report->window, "height"), scale.Y(flashUpdateTemplate.cy), 1);

  // Every control of the template, of its kind, at its place, with its text.
  ASSERT_EQ(report->controls.size(), flashUpdateTemplate.items.size());
  for (const ui::DialogItem& item : flashUpdateTemplate.items) {
    SCOPED_TRACE("control " + std::to_string(item.id));
    const Fields& control = report->controls[item.id];
    EXPECT_EQ(control.at("kind"), KindName(item.kind));
    EXPECT_EQ(control.at("shown"), "1");
    EXPECT_NEAR(Field(control, "x"), scale.X(item.x), 1);
    EXPECT_NEAR(Field(control, "y"), scale.Y(item.y), 1);
    EXPECT_NEAR(Field(control, "width"), scale.X(item.cx), 1);
    if (item.kind != ui::ControlKind::kEdit && item.kind != ui::ControlKind::kProgressBar) {
      EXPECT_EQ(control.at("text"), item.text);
    }
  }

  // The log as far as the transfer (the view's lines end in LF alone), and the gauge moved
  // within the range of the generated 4096-byte image.
  const std::string log = report->controls[IDC_LOG]["text"];
  EXPECT_EQ(log.rfind("Modem update tool started.\n\nSearching for USB-Modems ...\n", 0), 0u);
  EXPECT_NE(log.find("\nSending firmware to modem ...\n"), std::string::npos) << log;
  const Fields& gauge = report->controls[IDC_PROGRESS];
  EXPECT_EQ(Field(gauge, "range"), 4096 / 512 + 1);
  EXPECT_GT(Field(gauge, "value"), 0);

  // The picture: the caption above the client area; text in the log, the gauge filled in
  // proportion to its value.
  std::optional<Picture> picture = ReadPpm(shot + ".ppm");
  ASSERT_TRUE(picture);
  const int top = Field(report->window, "caption");
  ASSERT_EQ(picture->width, Field(report->window, "width"));
  ASSERT_EQ(picture->height, top + Field(report->window, "height"));
  EXPECT_GT(ColumnsWith(*picture, top, report->controls[IDC_LOG], Dark), 50);
  const double filled = ColumnsWith(*picture, top, gauge, Accent) / double(Field(gauge, "width"));
  EXPECT_NEAR(filled, Field(gauge, "value") / double(Field(gauge, "range")), 0.1);
}

}  // namespace
}  // namespace ui_test
