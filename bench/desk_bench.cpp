// The desk's pages at scale: an index of N generated reports (default
// 100,000; --count N), `zandrel-desk serve` over it, and timed requests from
// signed-in sessions on loopback. Prints p50/p95/max of the list page with
// each filter, of report pages and of the dashboard over 30 days, the
// slowest answer while 20 sessions click through pages at once, and the
// desk's resident memory.
//
//   desk_bench [--count N] [--dir DIR] [--reuse] [--index-only] [--runs R] [--sessions S] [--clicks C]
//              [--think MS] [--unshared]
// --unshared: every dashboard a session opens has filters of its own (its
// start a few seconds apart), so that none shares figures made for another;
// by default the sessions open the same four dashboards, as a team looking
// at one incident does.
// --think MS: each session reads a page for MS on average (uniformly from
// MS/2 to 3*MS/2) before its next click, and makes its first within MS, as
// people do; 0 (the default)
// clicks again at once, a load no team of people makes.
// --dir keeps the data directory in DIR; --reuse serves the index already
// there; --index-only writes the index and stops (demo data for
// scripts/desk-screenshot.sh). Times are measured at the client (loopback, one connection per
// request), so they hold the server's time plus a connection's set-up.
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "report_generator.h"
#include "server/store/report_index.h"
#include "sockets.h"
#include "temp_dir.h"
#include "wait.h"

using namespace zandrel;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

std::string Date(int64_t ms) {
  time_t s = static_cast<time_t>(ms / 1000);
  struct tm t;
  gmtime_r(&s, &t);
  char out[40];
  std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &t);
  return out;
}

std::string UrlEncode(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      char t[4];
      std::snprintf(t, sizeof t, "%%%02X", c);
      out += t;
    }
  }
  return out;
}

std::string Query(const std::vector<std::pair<std::string, std::string>>& params) {
  std::string out;
  for (const auto& [k, v] : params) out += (out.empty() ? "?" : "&") + k + "=" + UrlEncode(v);
  return out;
}

struct Answer {
  int status = 0;
  std::string head, body;
  double ms = 0;
};

// One request on a connection of its own.
Answer Fetch(uint16_t port, const std::string& method, const std::string& path, const std::string& cookie,
             const std::string& body = "") {
  std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (!cookie.empty()) request += "Cookie: " + cookie + "\r\n";
  if (method == "POST") {
    request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n";
  }
  request += "\r\n" + body;
  Answer a;
  auto t0 = Clock::now();
  testsock::Socket s(testsock::Connect(port));
  if (s.get() == testsock::kNoSocket || !testsock::SendAll(s.get(), request)) return a;
  std::string all = testsock::ReadUntilClosed(s.get(), 30000);
  a.ms = Ms(Clock::now() - t0);
  std::size_t end = all.find("\r\n\r\n");
  if (all.size() < 12 || end == std::string::npos) return a;
  a.status = std::atoi(all.c_str() + 9);
  a.head = all.substr(0, end);
  a.body = all.substr(end + 4);
  return a;
}

// The value of the first `name="csrf" value="…"` of a page.
std::string Csrf(const std::string& page) {
  std::size_t at = page.find("name=\"csrf\"");
  if (at == std::string::npos) return "";
  std::size_t v = page.find("value=\"", at);
  if (v == std::string::npos) return "";
  v += 7;
  return page.substr(v, page.find('"', v) - v);
}

// The name=value pairs of the Set-Cookie fields of a head, joined for a Cookie field.
std::string Cookies(const std::string& head, std::string jar = "") {
  std::size_t at = 0;
  while ((at = head.find("\r\nSet-Cookie: ", at)) != std::string::npos) {
    at += 14;
    std::string pair = head.substr(at, head.find_first_of(";\r", at) - at);
    jar += (jar.empty() ? "" : "; ") + pair;
  }
  return jar;
}

std::string LogIn(uint16_t port, const std::string& user, const std::string& password) {
  Answer form = Fetch(port, "GET", "/login", "");
  std::string jar = Cookies(form.head);
  Answer done = Fetch(port, "POST", "/login", jar,
                      "user=" + UrlEncode(user) + "&password=" + UrlEncode(password) + "&csrf=" + UrlEncode(Csrf(form.body)));
  if (done.status != 303) {
    std::fprintf(stderr, "login answered %d\n%s\n", done.status, done.head.c_str());
    std::exit(1);
  }
  return Cookies(done.head, jar);
}

uint64_t ProcKb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::stoull(line.substr(std::strlen(field)));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t count = 100000;
  int runs = 20, sessions = 20, clicks = 30, think_ms = 0;
  std::string dir_arg;
  bool reuse = false, index_only = false, unshared = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--count" && i + 1 < argc) {
      count = std::stoull(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      dir_arg = argv[++i];
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::stoi(argv[++i]);
    } else if (a == "--sessions" && i + 1 < argc) {
      sessions = std::stoi(argv[++i]);
    } else if (a == "--clicks" && i + 1 < argc) {
      clicks = std::stoi(argv[++i]);
    } else if (a == "--think" && i + 1 < argc) {
      think_ms = std::stoi(argv[++i]);
    } else if (a == "--reuse") {
      reuse = true;
    } else if (a == "--unshared") {
      unshared = true;
    } else if (a == "--index-only") {
      index_only = true;
    } else {
      std::fprintf(stderr,
                   "usage: desk_bench [--count N] [--dir DIR] [--reuse] [--index-only] [--runs R] [--sessions S] "
                   "[--clicks C] [--think MS] [--unshared]\n");
      return 2;
    }
  }
  std::unique_ptr<testsupport::TempDir> temp;
  if (dir_arg.empty()) {
    temp = std::make_unique<testsupport::TempDir>("zandrel-desk-bench");
    dir_arg = temp->path();
  }
  std::filesystem::create_directories(dir_arg);
  const std::string index_path = dir_arg + "/index.sqlite";
  const std::string desk_db = dir_arg + "/desk.sqlite";

  // The index, from the same generator as the index's benchmark; the records
  // named by every 1000th are kept for filter values and report pages.
  testing::GeneratorOptions options;
  options.count_hint = count;
  testing::ReportGenerator gen(options);
  std::vector<store::ReportRecord> sample;
  {
    store::ReportIndex index;
    store::IndexStatus s = index.Open(index_path);
    if (!s) {
      std::fprintf(stderr, "%s\n", s.message.c_str());
      return 1;
    }
    auto start = Clock::now();
    std::vector<store::ReportRecord> batch;
    for (uint64_t i = 0; i < count; ++i) {
      store::ReportRecord r = gen.Next();
      if (i % 1000 == 0) sample.push_back(r);
      if (reuse) continue;
      batch.push_back(std::move(r));
      if (batch.size() == 1000 || i + 1 == count) {
        if (!(s = index.Add(batch))) {
          std::fprintf(stderr, "%s\n", s.message.c_str());
          return 1;
        }
        batch.clear();
      }
    }
    if (!reuse) {
      double seconds = Ms(Clock::now() - start) / 1000;
      std::printf("generated and indexed %llu reports in %.1f s (%.0f/s)\n", static_cast<unsigned long long>(count),
                  seconds, static_cast<double>(count) / seconds);
    }
  }
  if (index_only) return 0;
  // Report files for the sampled records: the desk shows a report whose file is there.
  for (const store::ReportRecord& r : sample) {
    std::ofstream(dir_arg + "/" + r.file, std::ios::binary) << "\r\n" << "generated report " << r.id << "\r\n";
  }

  const std::string desk = ZANDREL_DESK_BIN;
  const std::string user = "bench", password = "a long enough bench password";
  std::filesystem::remove(desk_db);
  std::string add = "printf '%s\\n' '" + password + "' | " + desk + " --data-dir '" + dir_arg + "' --desk-db '" +
                    desk_db + "' user add " + user + " >/dev/null";
  if (std::system(add.c_str()) != 0) {
    std::fprintf(stderr, "cannot add the account: %s\n", add.c_str());
    return 1;
  }
  uint16_t port = testsock::ClosedPort();
  pid_t pid = fork();
  if (pid == 0) {
    std::string listen = "127.0.0.1:" + std::to_string(port);
    execl(desk.c_str(), "zandrel-desk", "--data-dir", dir_arg.c_str(), "--desk-db", desk_db.c_str(), "serve",
          "--listen", listen.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  struct Stop {
    pid_t pid;
    ~Stop() {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  } stop{pid};
  if (!testsupport::WaitUntil(
          [&] { return testsock::Socket(testsock::Connect(port)).get() != testsock::kNoSocket; }, 30000)) {
    std::fprintf(stderr, "zandrel-desk does not listen\n");
    return 1;
  }
  std::string cookie = LogIn(port, user, password);
  std::printf("desk RSS after start and a login: %llu KiB\n", static_cast<unsigned long long>(ProcKb(pid, "VmRSS:")));

  int64_t last = sample.back().received;
  std::string month_ago = Date(last - 30LL * 86400000);
  auto month_ago_plus = [&](int seconds) { return Date(last - 30LL * 86400000 + seconds * 1000LL); };
  auto run_start = [&](int run) { return month_ago_plus(1000 + run); };
  auto pick = [&](int run) -> const store::ReportRecord& {
    return sample[static_cast<std::size_t>(run * 7919) % sample.size()];
  };
  auto ip_text = [](uint32_t a, const char* suffix) {
    char t[32];
    std::snprintf(t, sizeof t, "%u.%u.%u.%u%s", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255, suffix);
    return std::string(t);
  };
  const char* failed[] = {"udp", "speed", "service", "channels"};
  struct Case {
    const char* name;
    std::function<std::string(int)> path;
  };
  std::vector<Case> cases = {
      {"/ (no filter)", [](int) { return std::string("/"); }},
      {"/?q=卡顿", [](int) { return "/" + Query({{"q", "卡顿"}}); }},
      {"/?q=没有声音", [](int) { return "/" + Query({{"q", "没有声音"}}); }},
      {"/?ip=sender", [&](int r) { return "/" + Query({{"ip", ip_text(pick(r).sender, "")}}); }},
      {"/?ip=sender/16", [&](int r) { return "/" + Query({{"ip", ip_text(pick(r).sender, "/16")}}); }},
      {"/?mac", [&](int r) { return "/" + Query({{"mac", pick(r).facts.adapters[0].mac}}); }},
      {"/?module=d3d9.dll", [](int) { return "/" + Query({{"module", "d3d9.dll"}}); }},
      {"/?module=overlay64.dll (rare)", [](int) { return "/" + Query({{"module", "overlay64.dll"}}); }},
      {"/?from+to (one day)",
       [&](int r) {
         int64_t t = pick(r).received;
         return "/" + Query({{"from", Date(t - 86400000)}, {"to", Date(t)}});
       }},
      {"/?failed=<each check>", [&](int r) { return "/" + Query({{"failed", failed[r % 4]}}); }},
      {"/?slower_than=100", [](int) { return "/" + Query({{"slower_than", "100"}}); }},
      {"/?q=卡顿&failed=udp&from=30 days ago",
       [&](int) { return "/" + Query({{"q", "卡顿"}, {"failed", "udp"}, {"from", month_ago}}); }},
      {"/reports/ID", [&](int r) { return "/reports/" + pick(r).id; }},
      // The desk shares a dashboard's figures for the same filters for a few
      // seconds: each run starts a second later (and later than any the
      // sessions below ask for), so that each is made anew.
      {"/dashboard?from=30 days ago", [&](int r) { return "/dashboard" + Query({{"from", run_start(r)}}); }},
      {"/dashboard?from=30 days ago&q=卡顿",
       [&](int r) { return "/dashboard" + Query({{"from", run_start(r)}, {"q", "卡顿"}}); }},
      {"/dashboard?from=30 days ago&failed=<each>",
       [&](int r) { return "/dashboard" + Query({{"from", run_start(r)}, {"failed", failed[r % 4]}}); }},
  };
  std::printf("\n%-42s %9s %9s %9s %9s\n", "page (one session)", "p50 ms", "p95 ms", "max ms", "KiB");
  for (const Case& c : cases) {
    std::vector<double> ms;
    std::size_t bytes = 0;
    for (int r = 0; r < runs; ++r) {
      Answer a = Fetch(port, "GET", c.path(r), cookie);
      if (a.status != 200) {
        std::fprintf(stderr, "%s answered %d\n%s\n", c.path(r).c_str(), a.status, a.head.c_str());
        return 1;
      }
      ms.push_back(a.ms);
      bytes = a.body.size();
    }
    std::printf("%-42s %9.1f %9.1f %9.1f %9zu\n", c.name, Percentile(ms, 0.5), Percentile(ms, 0.95),
                *std::max_element(ms.begin(), ms.end()), bytes / 1024);
  }

  // Sessions clicking through pages at once: each signs in, then opens a
  // list with a filter, one of its reports, the next page, the dashboard,
  // in turn, with no pause.
  std::vector<std::string> cookies;
  for (int i = 0; i < sessions; ++i) cookies.push_back(LogIn(port, user, password));
  std::mutex mu;
  std::vector<double> all;
  std::atomic<int> errors{0};
  std::string slowest;
  double slowest_ms = 0;
  std::vector<std::thread> threads;
  auto t0 = Clock::now();
  for (int i = 0; i < sessions; ++i) {
    threads.emplace_back([&, i] {
      std::mt19937 rng(static_cast<unsigned>(i));
      for (int k = 0; k < clicks; ++k) {
        int r = static_cast<int>(rng() % 1000);
        std::string path;
        switch (k % 4) {
          case 0: path = cases[static_cast<std::size_t>(r) % 12].path(r); break;
          case 1: path = "/reports/" + pick(r).id; break;
          case 2: path = "/" + Query({{"failed", failed[r % 4]}, {"from", month_ago}}); break;
          default:
            // Unshared filters start before the month, the single runs' after it: none meet.
            path = "/dashboard" + Query({{"from", unshared ? month_ago_plus(-1 - i * clicks - k) : month_ago},
                                         {"failed", failed[r % 4]}});
            break;
        }
        if (think_ms > 0) {
          // People do not start at the same instant: the first click comes
          // within one reading time.
          int pause = k == 0 ? static_cast<int>(rng() % static_cast<unsigned>(think_ms + 1))
                             : think_ms / 2 + static_cast<int>(rng() % static_cast<unsigned>(think_ms + 1));
          std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        }
        Answer a = Fetch(port, "GET", path, cookies[static_cast<std::size_t>(i)]);
        std::lock_guard<std::mutex> lock(mu);
        if (a.status != 200) ++errors;
        all.push_back(a.ms);
        if (a.ms > slowest_ms) {
          slowest_ms = a.ms;
          slowest = path;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  double wall = Ms(Clock::now() - t0) / 1000;
  std::printf("\n%d sessions x %d clicks at once, %d ms to read each page, dashboards %s: %zu answers in %.1f s, p50 %.1f ms, p95 %.1f ms, slowest %.1f ms (%s), "
              "%d not 200\n",
              sessions, clicks, think_ms, unshared ? "unshared" : "shared", all.size(), wall, Percentile(all, 0.5), Percentile(all, 0.95), slowest_ms,
              slowest.c_str(), errors.load());
  std::printf("desk RSS now: %llu KiB, peak: %llu KiB\n", static_cast<unsigned long long>(ProcKb(pid, "VmRSS:")),
              static_cast<unsigned long long>(ProcKb(pid, "VmHWM:")));
  return errors.load() == 0 ? 0 : 1;
}
