// Ctrl-C reaches zandrel.exe --console when both its output streams are
// redirected to files: this console program starts it as a shell would
// (`zandrel.exe --console --send > out.txt 2> err.txt`, same console, the
// handles redirected), waits until the run is sending to a report server that
// is not there, presses Ctrl-C in the shared console and expects the program
// to stop with 130, its progress lines in the file.
//
// Wine differs from Windows here: it gives a GUI-subsystem program the
// console of the process that started it, attached or not, where Windows
// gives it none until it attaches. So under Wine this passes even when
// zandrel.exe does not attach itself; on Windows it catches that.
//
// usage: console_ctrl_c_driver ZANDREL_EXE WORK_DIR
//   Run where nothing listens on the report server's port.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "base/texts.h"
#include "checks.h"

namespace {

std::string Utf8FromGbk(const std::string& gbk) {
  int n = MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), w.data(), n);
  int m = WideCharToMultiByte(CP_UTF8, 0, w.data(), n, nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), n, s.data(), m, nullptr, nullptr);
  return s;
}

std::string ReadShared(const std::wstring& path) {
  std::string bytes;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return bytes;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) bytes.append(buf, got);
  CloseHandle(h);
  return bytes;
}

HANDLE Inheritable(const std::wstring& path) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The driver shares the console and must outlive the Ctrl-C it sends.
BOOL WINAPI KeepRunning(DWORD) { return TRUE; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: console_ctrl_c_driver ZANDREL_EXE WORK_DIR\n", stderr);
    return 2;
  }
  setvbuf(stdout, nullptr, _IONBF, 0);
  const std::wstring exe = argv[1], dir = argv[2];
  std::puts("console: Ctrl-C with both streams redirected");
  // A console of its own to share with zandrel.exe, so that the Ctrl-C
  // reaches no one else. (Under Wine a console program started from a Unix
  // shell with its output piped has no console at all.) Standard output
  // stays where it was.
  FreeConsole();
  CHECK_MSG(AllocConsole(), "no console: error %lu", GetLastError());
  SetConsoleCtrlHandler(KeepRunning, TRUE);

  const std::wstring outPath = dir + L"\\out.txt", errPath = dir + L"\\err.txt";
  HANDLE out = Inheritable(outPath), err = Inheritable(errPath);
  CHECK(out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out;
  si.hStdError = err;
  // The speed test goes to a closed port, so the run reaches the upload soon.
  std::wstring cmd = L"\"" + exe + L"\" --console --send --problem x --speed-url http://127.0.0.1:9/speed";
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    std::fprintf(stderr, "cannot start zandrel.exe (error %lu)\n", GetLastError());
    return 1;
  }
  CloseHandle(out);
  CloseHandle(err);

  // Until the upload is being tried (a bound far above a normal run).
  const std::string uploading = Utf8FromGbk(zandrel::texts::kTextUploading);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(300);
  bool sending = false;
  while (!sending && std::chrono::steady_clock::now() < end &&
         WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) {
    sending = ReadShared(outPath).find(uploading) != std::string::npos;
    if (!sending) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  CHECK_MSG(sending, "the run never reached the upload");
  // Still sending to nobody: without Ctrl-C it would wait for ever.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  CHECK_MSG(WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT, "zandrel.exe ended before Ctrl-C");
  // It is attached to the console, else no Ctrl-C can reach it.
  DWORD attached[64] = {};
  const DWORD count = std::min<DWORD>(GetConsoleProcessList(attached, 64), 64);
  CHECK_MSG(std::find(attached, attached + count, pi.dwProcessId) != attached + count,
            "zandrel.exe is not attached to the console (%lu processes are)", count);

  BOOL g = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  CHECK_MSG(g, "GenerateConsoleCtrlEvent: error %lu", GetLastError());
  DWORD code = 0;
  bool ended = WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0;
  CHECK_MSG(ended, "Ctrl-C did not stop zandrel.exe");
  if (!ended) TerminateProcess(pi.hProcess, 99);
  GetExitCodeProcess(pi.hProcess, &code);
  if (ended) CHECK_MSG(code == 130, "exit code %lu after Ctrl-C", code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);

  // The progress lines went to the file, not to the console.
  const std::string written = ReadShared(outPath);
  CHECK(written.find(Utf8FromGbk(zandrel::texts::kBannerNetworkInfo)) != std::string::npos);
  std::printf("console Ctrl-C: %d failed checks\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
