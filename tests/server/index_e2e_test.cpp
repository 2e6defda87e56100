// The receiver keeps the report index in step with its files: a row for
// every report answered 200, rows caught up for files that had none,
// retention that takes body and row together, and a receiver killed at any
// moment that loses nothing it answered 200.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/gbk.h"
#include "platform/md5.h"
#include "platform/store.h"
#include "running_server.h"
#include "server/store/index_keeper.h"
#include "server/store/report_file.h"
#include "server/store/report_id.h"
#include "server/store/report_index.h"
#include "sockets.h"
#include "temp_dir.h"
#include "wait.h"

namespace zandrel {
namespace {

std::string Report(const std::string& problemUtf8) {
  return platform::Utf8ToGbk("\r\n问题描述：" + problemUtf8 + "\r\n    CPU占用率为：7\r\n");
}

std::string Post(const std::string& body) {
  return "POST /test_log HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nfile_flag: " + platform::md5_hex_upper(body.data(), body.size()) + "\r\n\r\n" + body;
}

// The answer to one report, or "" when the connection broke first.
std::string Send(uint16_t port, const std::string& request) {
  testsock::Socket s(testsock::Connect(port));
  if (s.get() == testsock::kNoSocket || !testsock::SendAll(s.get(), request)) return "";
  return testsock::ReadUntilClosed(s.get());
}

std::string IdOf(const std::string& answer) {
  const std::string key = "\r\nX-Report-Id: ";
  std::size_t at = answer.find(key);
  return at == std::string::npos ? "" : answer.substr(at + key.size(), 9);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<store::IndexedFile> Rows(const std::string& dir) {
  store::ReportIndex index;
  std::vector<store::IndexedFile> rows;
  if (!index.Open(store::IndexPath(dir)) || !index.List(rows)) rows.clear();
  return rows;
}

std::map<std::string, std::string> ReportFiles(const std::string& dir) {  // id -> name
  std::vector<platform::DirectoryEntry> all;
  platform::ListDirectory(dir, all);
  std::map<std::string, std::string> out;
  for (const auto& e : all) {
    if (auto f = store::ParseReportFileName(e.name)) out[store::ReportIdText(f->id)] = e.name;
  }
  return out;
}

TEST(ReportIndexing, StoredCaughtUpAndRetained) {
  testsupport::TempDir dir("zandrel-indexed");
  // Files from before the index: one recent, one older than the retention.
  store::ReportFileName recent{1796870412345, 1, store::ReportIdForSequence(1), 0x0a000001, ""};
  store::ReportFileName old = recent;
  old.sequence = 2;
  old.id = store::ReportIdForSequence(2);
  old.received = 1000000000000;  // 2001
  std::string body = Report("早就有的报告");
  recent.md5 = old.md5 = platform::md5_hex_upper(body.data(), body.size());
  WriteFile(dir.path() + "/" + store::ReportFileNameText(recent), body);
  WriteFile(dir.path() + "/" + store::ReportFileNameText(old), body);

  testsupport::RunningServer srv([&](server::ServerOptions& o) {
    o.dataDir = dir.path();
    o.index = true;
    o.keepDays = 3650;
  });
  ASSERT_TRUE(srv.started()) << srv.error();
  std::string answer = Send(srv.port(), Post(Report("画面卡顿")));
  ASSERT_EQ(answer.substr(0, 12), "HTTP/1.1 200");
  std::string id = IdOf(answer);
  // Answered only after its row was written.
  store::ReportIndex index;
  ASSERT_TRUE(index.Open(store::IndexPath(dir.path())));
  std::optional<store::ReportRecord> rec;
  ASSERT_TRUE(index.Get(id, rec));
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->facts.problem, "画面卡顿");
  EXPECT_EQ(rec->sender, 0x7f000001u);
  EXPECT_EQ(rec->facts.cpu_percent, 7);
  // The old file goes with its row; the recent one is caught up.
  ASSERT_TRUE(testsupport::WaitUntil([&] { return Rows(dir.path()).size() == 2 && ReportFiles(dir.path()).size() == 2; }));
  ASSERT_TRUE(index.Get(store::ReportIdText(recent.id), rec));
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->facts.problem, "早就有的报告");
  EXPECT_EQ(ReportFiles(dir.path()).count(store::ReportIdText(old.id)), 0u);
}

#ifdef ZANDREL_SERVER_BIN
// Uploads from four clients while the receiver is killed with SIGKILL at a
// random moment; restarted, it holds every report it answered 200, once,
// indexed once.
TEST(ReportIndexing, AKilledReceiverLosesNothingItAnswered) {
  testsupport::TempDir dir("zandrel-killed");
  uint16_t port = testsock::ClosedPort();
  auto start = [&] {
    pid_t pid = fork();
    if (pid == 0) {
      execl(ZANDREL_SERVER_BIN, "zandrel-report-server", "--data-dir", dir.path().c_str(), "--http-port",
            std::to_string(port).c_str(), "--udp-port", "0", "--hint-port", "0", "--min-free", "0",
            "--reports-per-minute", "0", "--quiet", static_cast<char*>(nullptr));
      _exit(127);
    }
    EXPECT_TRUE(testsupport::WaitUntil(
        [&] { return testsock::Socket(testsock::Connect(port)).get() != testsock::kNoSocket; }, 30000));
    return pid;
  };
  pid_t pid = start();
  std::mt19937 random(std::random_device{}());
  const int killAfter = std::uniform_int_distribution<int>(20, 180)(random);
  std::mutex mu;
  std::set<std::string> answered;
  std::atomic<int> count{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        std::string answer = Send(port, Post(Report("客户端" + std::to_string(t) + " 第" + std::to_string(i) + "份")));
        if (answer.substr(0, 12) != "HTTP/1.1 200") continue;
        std::lock_guard<std::mutex> lock(mu);
        answered.insert(IdOf(answer));
        ++count;
      }
    });
  }
  ASSERT_TRUE(testsupport::WaitUntil([&] { return count >= killAfter; }, 60000));
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  for (auto& c : clients) c.join();

  pid = start();
  std::map<std::string, std::string> files;
  EXPECT_TRUE(testsupport::WaitUntil([&] {
    files = ReportFiles(dir.path());
    return Rows(dir.path()).size() == files.size();
  }, 30000));
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  for (const std::string& id : answered) EXPECT_EQ(files.count(id), 1u) << id;
  std::multiset<std::string> rowIds;
  for (const auto& r : Rows(dir.path())) rowIds.insert(r.id);
  for (const auto& [id, name] : files) EXPECT_EQ(rowIds.count(id), 1u) << name;
  std::vector<platform::DirectoryEntry> all;
  platform::ListDirectory(dir.path(), all);
  for (const auto& e : all) EXPECT_NE(e.name.substr(0, 8), ".upload-") << "a temporary survived the restart";
}
#endif

}  // namespace
}  // namespace zandrel
