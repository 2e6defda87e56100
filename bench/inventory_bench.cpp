// Collects the whole process and module inventory with 300 extra processes
// running, and prints the time it took and the size of the printout.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "detect/module_inventory.h"
#include "platform/processes.h"

int main(int argc, char** argv) {
  int extra = argc > 1 ? std::atoi(argv[1]) : 300;
  std::vector<pid_t> children;
  for (int i = 0; i < extra; ++i) {
    pid_t p = fork();
    if (p == 0) {
      execlp("sleep", "sleep", "60", static_cast<char*>(nullptr));
      _exit(127);
    }
    if (p > 0) children.push_back(p);
  }
  usleep(300000);  // let every child reach exec

  std::vector<uint32_t> pids;
  zandrel::platform::ListProcesses(pids);
  auto t0 = std::chrono::steady_clock::now();
  zandrel::ModuleInventory inv;
  inv.CollectProcessModules([](const std::string& s) { std::printf("log: %s\n", s.c_str()); });
  auto t1 = std::chrono::steady_clock::now();
  size_t bytes = 0, lines = 0;
  inv.PrintModuleInventory([&](const std::string& s) {
    bytes += s.size();
    ++lines;
  });
  auto t2 = std::chrono::steady_clock::now();
  size_t modules = 0;
  for (const auto& [dir, names] : inv.Entries()) modules += names.size();

  for (pid_t p : children) kill(p, SIGKILL);
  for (pid_t p : children) waitpid(p, nullptr, 0);

  using ms = std::chrono::duration<double, std::milli>;
  std::printf("processes: %zu (%d extra)\n", pids.size() - 1, extra);
  std::printf("directories: %zu, distinct modules: %zu\n", inv.Entries().size(), modules);
  std::printf("printed: %zu lines, %zu bytes\n", lines, bytes);
  std::printf("collect: %.1f ms, print: %.2f ms, total: %.1f ms (target < 150 ms)\n", ms(t1 - t0).count(),
              ms(t2 - t1).count(), ms(t2 - t0).count());
  return 0;
}
