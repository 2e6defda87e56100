#include "app/win32/screenshot.h"

#include <objidl.h>

#include <algorithm>
// The image library's headers use min and max, which NOMINMAX takes away.
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>

#include <cwctype>

namespace zandrel::win32 {
namespace {

// The system's image encoders.
const CLSID kPngEncoder = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
const CLSID kBmpEncoder = {0x557cf400, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};

bool EndsWith(const std::wstring& path, const wchar_t* suffix) {
  std::wstring s(suffix);
  if (path.size() < s.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (std::towlower(path[path.size() - s.size() + i]) != s[i]) return false;
  }
  return true;
}

// Releases what the capture made, in reverse order.
struct Capture {
  HDC screen = nullptr, memory = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ old = nullptr;
  ~Capture() {
    if (memory && old) SelectObject(memory, old);
    if (bitmap) DeleteObject(bitmap);
    if (memory) DeleteDC(memory);
    if (screen) ReleaseDC(nullptr, screen);
  }
};

}  // namespace

bool SaveWindowPicture(HWND window, const std::wstring& path, std::string& error) {
  const CLSID* encoder = EndsWith(path, L".png") ? &kPngEncoder : EndsWith(path, L".bmp") ? &kBmpEncoder : nullptr;
  if (!encoder) {
    error = "the picture's name must end in .png or .bmp";
    return false;
  }
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
  RECT r;
  if (!GetWindowRect(window, &r)) {
    error = "no window";
    return false;
  }
  const int width = r.right - r.left, height = r.bottom - r.top;
  // The window as the screen shows it, frame and caption included.
  Capture cap;
  cap.screen = GetDC(nullptr);
  cap.memory = cap.screen ? CreateCompatibleDC(cap.screen) : nullptr;
  cap.bitmap = cap.memory ? CreateCompatibleBitmap(cap.screen, width, height) : nullptr;
  if (!cap.bitmap) {
    error = "cannot make a bitmap";
    return false;
  }
  cap.old = SelectObject(cap.memory, cap.bitmap);
  if (!BitBlt(cap.memory, 0, 0, width, height, cap.screen, r.left, r.top, SRCCOPY)) {
    error = "cannot copy the window from the screen";
    return false;
  }
  SelectObject(cap.memory, cap.old);
  cap.old = nullptr;

  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) {
    error = "the image library does not start";
    return false;
  }
  bool ok = false;
  {
    Gdiplus::GpBitmap* image = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromHBITMAP(cap.bitmap, nullptr, &image) == Gdiplus::Ok) {
      ok = Gdiplus::DllExports::GdipSaveImageToFile(image, path.c_str(), encoder, nullptr) == Gdiplus::Ok;
      Gdiplus::DllExports::GdipDisposeImage(image);
    }
  }
  Gdiplus::GdiplusShutdown(token);
  if (!ok) error = "cannot write the picture";
  return ok;
}

}  // namespace zandrel::win32
