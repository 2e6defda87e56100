// GBK <-> UTF-16 at the edge of the Windows dialog: the dialog uses the wide
// window API, so its Chinese shows correctly on any display language, while
// the run's texts stay GBK (code page 936).
#pragma once
#include <windows.h>

#include <string>

namespace zandrel::win32 {

std::wstring WideFromGbk(const std::string& gbk);
// Characters GBK cannot hold become '?'.
std::string GbkFromWide(const std::wstring& wide);
std::wstring WideFromUtf8(const std::string& utf8);
std::string Utf8FromWide(const std::wstring& wide);

// A window's text, and setting it, in GBK.
std::string WindowTextGbk(HWND window);
void SetWindowTextGbk(HWND window, const std::string& gbk);

}  // namespace zandrel::win32
