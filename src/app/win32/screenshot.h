// A picture of a window as it is on the screen, saved as PNG or BMP.
#pragma once
#include <windows.h>

#include <string>

namespace zandrel::win32 {

// The format follows the file name's extension (.png or .bmp). False, with
// a reason in error, when the window could not be captured or saved.
bool SaveWindowPicture(HWND window, const std::wstring& path, std::string& error);

}  // namespace zandrel::win32
