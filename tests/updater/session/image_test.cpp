// Choosing, loading and releasing the firmware image.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/updater/session/update_harness.h"

namespace update_test {
namespace {

using ImageTest = UpdateHarness;

TEST_F(ImageTest, TheDialogStartsInTheFolderOfTheFileChosenLast) {
  std::strcpy(updateSession.PortTable[0].name, "COM3");
  fileAnswers = {"C:\\fw\\modem.bin", std::nullopt, "C:\\root.bin", "C:\\x.bin"};
  EXPECT_STREQ(SelectImageFile(nullptr, nullptr), "C:\\fw\\modem.bin");
  EXPECT_EQ(SelectImageFile(nullptr, nullptr), nullptr);  // cancelled: the path is forgotten
  SelectImageFile(nullptr, nullptr);
  SelectImageFile(nullptr, nullptr);
  ASSERT_EQ(fileDialogs.size(), 4u);
  EXPECT_EQ(fileDialogs[0].initialName, "*.bin");
  EXPECT_EQ(fileDialogs[0].initialFolder, "");
  EXPECT_EQ(fileDialogs[1].initialName, "modem.bin");
  EXPECT_EQ(fileDialogs[1].initialFolder, "C:\\fw");
  EXPECT_EQ(fileDialogs[2].initialName, "*.bin");  // after the cancel, but still in C:\fw
  EXPECT_EQ(fileDialogs[2].initialFolder, "C:\\fw");
  EXPECT_EQ(fileDialogs[3].initialFolder, "C:");  // a drive's root gives the bare drive
  EXPECT_EQ(fileDialogs[3].initialName, "root.bin");

  const auto& request = fileDialogs[0];
  EXPECT_EQ(request.structSize, 76u);
  EXPECT_EQ(request.flags, 0x82804u);
  EXPECT_EQ(request.maxFile, 256u);
  EXPECT_EQ(request.filterIndex, 1u);
  EXPECT_EQ(request.title, "Select an image file for the modem on COM3");
  EXPECT_EQ(request.filter,
            (std::vector<std::string>{"Firmware Update Image files", "*.bin", "All files", "*.*"}));
}

TEST_F(ImageTest, TheTitleIsCutTo63Characters) {
  std::strcpy(updateSession.PortTable[0].name, std::string(31, 'P').c_str());
  fileAnswers = {std::nullopt};
  SelectImageFile(nullptr, nullptr);
  EXPECT_EQ(fileDialogs[0].title.size(), 63u);
}

TEST_F(ImageTest, LoadingMapsTheWholeFileAndTakesItsFacts) {
  MakeLogWindow();
  std::string path = (root.path() / "a-firmware-image-with-a-long-name.bin").string();
  std::ofstream(path, std::ios::binary) << "0123456789";
  struct utimbuf times {};
  times.modtime = 946684800;  // 2000-01-01
  utime(path.c_str(), &times);
  fileAnswers = {path};
  ASSERT_NE(OpenImage(), nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(imageFile.data), imageFile.size),
            "0123456789");
  EXPECT_STREQ(imageFile.baseName, "a-firmware-image-with-a-long-nam");  // 32 characters
  EXPECT_STREQ(imageFile.mtimeDecimal, "946684800");
  EXPECT_STREQ(imageFile.mtimeOctal, "7033241600");
  // While loaded, the file is held without sharing.
  EXPECT_EQ(
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
      INVALID_HANDLE_VALUE);
  ReleaseImage();
  ReleaseImage();  // nothing loaded: does nothing
  fileAnswers = {path};
  EXPECT_NE(OpenImage(), nullptr);  // the same file loads again
  ReleaseImage();
}

TEST_F(ImageTest, AnImageInUseCannotBeOpened) {
  MakeLogWindow();
  std::string path = (root.path() / "busy.bin").string();
  std::ofstream(path, std::ios::binary) << "data";
  HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  fileAnswers = {path};
  EXPECT_EQ(OpenImage(), nullptr);
  EXPECT_EQ(imageFile.fileHandle, nullptr);
  CloseHandle(other);
  EXPECT_EQ(Log(), "Select of an image file\r\nCannot open the image file");
}

// A pipe, a device or a folder is no image: refused as a file that cannot be opened, and at
// once, since opening a pipe would otherwise wait for a writer and a device might never end.
TEST_F(ImageTest, AnythingButARegularFileIsRefusedWithoutWaiting) {
  using namespace std::chrono_literals;
  const std::string fifo = (root.path() / "pipe.bin").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  MakeLogWindow();
  for (const std::string& path : {fifo, std::string("/dev/zero"), root.path().string()}) {
    SCOPED_TRACE(path);
    SendMessageA(dialog.logWindow, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
    fileAnswers = {path};
    // A watchdog opens the pipe's other end should the open wait, so that the test ends.
    std::atomic<bool> done{false};
    std::atomic<bool> waited{false};
    std::thread watchdog([&] {
      for (int i = 0; i < 2000 && !done; ++i) std::this_thread::sleep_for(10ms);
      if (done) return;
      waited = true;
      ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
    });
    const BYTE* data = OpenImage();
    done = true;
    watchdog.join();
    EXPECT_FALSE(waited) << "opening the image waited";
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(imageFile.fileHandle, nullptr);
    EXPECT_EQ(Log(), "Select of an image file\r\nCannot open the image file");
  }
}

// The sender counts the image's bytes in a signed 32-bit number: 2 GiB and more could never be
// sent whole (the size would turn negative), so such an image is refused; one byte less loads.
TEST_F(ImageTest, AnImageOf2GiBOrMoreIsRefused) {
  MakeLogWindow();
  const std::string path = (root.path() / "huge.bin").string();
  std::ofstream(path, std::ios::binary).put('F');
  for (off_t size : {off_t{0x80000000}, off_t{0x100000001}, off_t{0x7FFFFFFF}}) {
    SCOPED_TRACE(size);
    ASSERT_EQ(::truncate(path.c_str(), size), 0);  // sparse: nothing is written
    SendMessageA(dialog.logWindow, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
    fileAnswers = {path};
    const BYTE* data = OpenImage();
    if (size == 0x7FFFFFFF) {
      EXPECT_NE(data, nullptr);
      EXPECT_EQ(imageFile.size, 0x7FFFFFFFu);
      ReleaseImage();
      continue;
    }
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(imageFile.fileHandle, nullptr);
    EXPECT_EQ(Log(), "Select of an image file\r\nCannot open the image file");
  }
}

}  // namespace
}  // namespace update_test
