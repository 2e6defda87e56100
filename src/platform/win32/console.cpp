// The wide command line, and console output as UTF-16.
#include "platform/console.h"

#include <windows.h>
#include <io.h>
#include <shellapi.h>

#include "platform/win32/wide.h"

namespace zandrel::platform {

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  int n = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (!wide) return {argv, argv + argc};
  std::vector<std::string> args;
  for (int i = 0; i < n; ++i) args.push_back(win32::WideToUtf8(wide[i]));
  LocalFree(wide);
  return args;
}

namespace {

bool Usable(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN; }

}  // namespace

void UseParentConsole() {
  // Attached whenever the parent has a console, also when both streams are
  // redirected: only a process attached to a console receives its Ctrl-C,
  // and a run waiting for an unreachable server must be stoppable. The
  // redirected handles are kept; attaching may replace the standard handles
  // with the console's, so they are put back.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), err = GetStdHandle(STD_ERROR_HANDLE);
  bool outOk = Usable(out), errOk = Usable(err);
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  if (outOk) {
    SetStdHandle(STD_OUTPUT_HANDLE, out);
  } else if (std::freopen("CONOUT$", "w", stdout)) {
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))));
  }
  if (errOk) {
    SetStdHandle(STD_ERROR_HANDLE, err);
  } else if (std::freopen("CONOUT$", "w", stderr)) {
    SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr))));
  }
}

void WriteText(std::FILE* out, std::string_view utf8) {
  int fd = _fileno(out);
  HANDLE h = fd >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
  DWORD mode = 0;
  if (h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode)) {
    std::fflush(out);
    std::wstring wide = win32::Utf8ToWide(utf8);
    const wchar_t* p = wide.data();
    size_t left = wide.size();
    while (left > 0) {
      DWORD piece = left > 8192 ? 8192 : static_cast<DWORD>(left);
      DWORD written = 0;
      if (!WriteConsoleW(h, p, piece, &written, nullptr) || written == 0) break;
      p += written;
      left -= written;
    }
    return;
  }
  std::fwrite(utf8.data(), 1, utf8.size(), out);
  std::fflush(out);
}

bool IsTerminal(std::FILE* out) {
  int fd = _fileno(out);
  HANDLE h = fd >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
  DWORD mode = 0;
  return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

bool ReadSecretLine(const char* prompt, std::string& line) {
  line.clear();
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  bool console = in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode);
  if (console) {
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  }
  int c = 0;
  bool any = false;
  while ((c = std::fgetc(stdin)) != EOF) {
    any = true;
    if (c == '\n') break;
    line += static_cast<char>(c);
  }
  if (console) {
    SetConsoleMode(in, mode);
    std::fputs("\n", stderr);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return any;
}

}  // namespace zandrel::platform
