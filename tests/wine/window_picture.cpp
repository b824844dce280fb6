#include "tests/wine/window_picture.h"

#include <cstdio>
#include <vector>

bool SaveWindowPicture(HWND window, const char* path) {
  // Painted whole before it is taken: the program paints on its own thread.
  RedrawWindow(window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW | RDW_ALLCHILDREN);
  RECT area{};
  GetWindowRect(window, &area);
  const int width = area.right - area.left, height = area.bottom - area.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFOHEADER info{sizeof(info), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  const int stride = (width * 3 + 3) & ~3;
  std::vector<char> pixels(static_cast<std::size_t>(stride) * height);
  bool read = GetDIBits(memory, bitmap, 0, height, pixels.data(),
                        reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS) == height;
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  BITMAPFILEHEADER file{0x4D42, 0, 0, 0, sizeof(BITMAPFILEHEADER) + sizeof(info)};
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  std::FILE* out = std::fopen(path, "wb");
  bool saved = read && out != nullptr && std::fwrite(&file, sizeof(file), 1, out) == 1 &&
               std::fwrite(&info, sizeof(info), 1, out) == 1 &&
               std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
  if (out != nullptr) saved = std::fclose(out) == 0 && saved;
  std::printf("picture of the window, %dx%d: %s\n", width, height, saved ? path : "not saved");
  return saved;
}
