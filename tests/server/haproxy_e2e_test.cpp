// Two receivers behind a load balancer nobody here wrote: HAProxy from
// Debian in TCP mode on loopback, round robin, PROXY protocol version 2 on
// one front and version 1 on another (with health checks, which send a v2
// LOCAL header). Clients bound to different loopback addresses upload
// reports through it; each report's sender, in its file name and in its
// index record, is the client's address, and both receivers get reports.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "net/socket.h"
#include "platform/md5.h"
#include "platform/store.h"
#include "server/store/index_keeper.h"
#include "server/store/report_file.h"
#include "server/store/report_id.h"
#include "server/store/report_index.h"
#include "sockets.h"
#include "temp_dir.h"
#include "wait.h"

namespace zandrel {
namespace {

const char kHaproxy[] = "/usr/sbin/haproxy";

// A child process, stopped with SIGTERM and reaped when the object goes.
class Child {
 public:
  // Runs argv[0] with its output to logPath.
  Child(const std::vector<std::string>& argv, const std::string& logPath) {
    pid_ = fork();
    if (pid_ != 0) return;
    int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  ~Child() { Stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // SIGTERM, then the exit status (-1 when it did not exit normally: the
  // balancer ends by the signal).
  int Stop() {
    if (pid_ <= 0) return status_;
    kill(pid_, SIGTERM);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

bool Listening(uint16_t port) { return testsock::Socket(testsock::Connect(port)).get() != testsock::kNoSocket; }

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

std::string Post(const std::string& body) {
  return "POST /test_log HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nfile_flag: " + platform::md5_hex_upper(body.data(), body.size()) + "\r\n\r\n" + body;
}

// The id a 200 names, or "" for any other answer.
std::string Upload(uint16_t port, uint32_t from, const std::string& body) {
  testsock::Socket s(testsock::Connect(port, from));
  if (s.get() == testsock::kNoSocket || !testsock::SendAll(s.get(), Post(body))) return "";
  std::string answer = testsock::ReadUntilClosed(s.get());
  const std::string key = "\r\nX-Report-Id: ";
  std::size_t at = answer.find(key);
  if (answer.compare(0, 12, "HTTP/1.1 200") != 0 || at == std::string::npos) return "";
  return answer.substr(at + key.size(), answer.find("\r\n", at + key.size()) - at - key.size());
}

struct Stored {
  std::string body;
  uint32_t fileSender = 0;
  std::optional<uint32_t> indexSender;
};

// What one receiver's data directory holds. (Each receiver numbers its own
// reports, so ids alone do not tell two receivers' reports apart.)
std::vector<Stored> StoredIn(const std::string& dir) {
  std::vector<Stored> out;
  std::vector<platform::DirectoryEntry> files;
  platform::ListDirectory(dir, files);
  store::ReportIndex index;
  bool indexed = static_cast<bool>(index.Open(store::IndexPath(dir)));
  for (const auto& e : files) {
    auto name = store::ParseReportFileName(e.name);
    if (!name) continue;
    Stored s;
    s.body = ReadFile(dir + "/" + e.name);
    s.fileSender = name->sender;
    std::optional<store::ReportRecord> record;
    if (indexed && index.Get(store::ReportIdText(name->id), record) && record) s.indexSender = record->sender;
    out.push_back(s);
  }
  return out;
}

TEST(Haproxy, ReceiversBehindItRecordTheClientsAddresses) {
  if (access(kHaproxy, X_OK) != 0) GTEST_SKIP() << "haproxy is not installed (scripts/deps.sh installs it)";
  testsupport::TempDir work("zandrel-haproxy");
  testsupport::TempDir data1("zandrel-behind-1"), data2("zandrel-behind-2");
  const uint16_t r1 = testsock::ClosedPort(), r2 = testsock::ClosedPort();
  const uint16_t front2 = testsock::ClosedPort(), front1 = testsock::ClosedPort();
  ASSERT_TRUE(r1 != r2 && front1 != front2 && r1 != front1 && r1 != front2 && r2 != front1 && r2 != front2);

  auto receiver = [&](const testsupport::TempDir& data, uint16_t port, const std::string& log) {
    return std::make_unique<Child>(
        std::vector<std::string>{ZANDREL_SERVER_BIN, "--data-dir", data.path(), "--http-port", std::to_string(port),
                                 "--udp-port", "0", "--hint-port", "0", "--min-free", "0", "--reports-per-minute",
                                 "0", "--trusted-proxy", "127.0.0.1"},
        work / log);
  };
  auto first = receiver(data1, r1, "receiver1.log");
  auto second = receiver(data2, r2, "receiver2.log");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return Listening(r1) && Listening(r2); }, 30000))
      << ReadFile(work / "receiver1.log") << ReadFile(work / "receiver2.log");

  const std::string servers = "  server r1 127.0.0.1:" + std::to_string(r1) + " PROXY\n" +
                              "  server r2 127.0.0.1:" + std::to_string(r2) + " PROXY\n";
  auto with = [&](const std::string& what) {
    std::string s = servers;
    for (std::size_t at; (at = s.find("PROXY")) != std::string::npos;) s.replace(at, 5, what);
    return s;
  };
  {
    std::ofstream conf(work / "haproxy.cfg");
    conf << "global\n  nbthread 1\n  maxconn 256\n"
         << "defaults\n  mode tcp\n  timeout connect 5s\n  timeout client 30s\n  timeout server 30s\n"
         << "frontend proxy_v2\n  bind 127.0.0.1:" << front2 << "\n  default_backend receivers_v2\n"
         << "backend receivers_v2\n  balance roundrobin\n" << with("send-proxy-v2 check inter 200ms")
         << "frontend proxy_v1\n  bind 127.0.0.1:" << front1 << "\n  default_backend receivers_v1\n"
         << "backend receivers_v1\n  balance roundrobin\n" << with("send-proxy");
  }
  Child haproxy({kHaproxy, "-db", "-f", work / "haproxy.cfg"}, work / "haproxy.log");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return Listening(front1) && Listening(front2); }, 30000))
      << ReadFile(work / "haproxy.log");

  // Six clients, 127.0.0.2 to 127.0.0.7, three reports each on either front.
  std::map<std::string, uint32_t> sentBy;  // body -> client
  std::map<std::string, int> version;      // body -> PROXY version it went with
  for (int round = 0; round < 3; ++round) {
    for (uint32_t client = 0x7f000002; client <= 0x7f000007; ++client) {
      const bool v1 = round == 2;
      std::string body = "\r\n    report " + std::to_string(round) + " from " + net::Ipv4Text(client) + "\r\n";
      std::string id = Upload(v1 ? front1 : front2, client, body);
      ASSERT_FALSE(id.empty()) << "round " << round << " from " << net::Ipv4Text(client) << "\n"
                               << ReadFile(work / "haproxy.log") << ReadFile(work / "receiver1.log")
                               << ReadFile(work / "receiver2.log");
      sentBy[body] = client;
      version[body] = v1 ? 1 : 2;
    }
  }
  haproxy.Stop();
  EXPECT_EQ(first->Stop(), 0);
  EXPECT_EQ(second->Stop(), 0);

  std::map<std::string, int> seen;  // body -> times stored
  auto check = [&](const std::vector<Stored>& stored, std::set<int>& versions) {
    for (const Stored& s : stored) {
      auto sent = sentBy.find(s.body);
      ASSERT_NE(sent, sentBy.end()) << s.body;
      ++seen[s.body];
      versions.insert(version[s.body]);
      EXPECT_EQ(net::Ipv4Text(s.fileSender), net::Ipv4Text(sent->second)) << s.body;
      ASSERT_TRUE(s.indexSender) << s.body << " has no index record";
      EXPECT_EQ(net::Ipv4Text(*s.indexSender), net::Ipv4Text(sent->second)) << s.body;
    }
  };
  std::set<int> versionsAt1, versionsAt2;
  check(StoredIn(data1.path()), versionsAt1);
  check(StoredIn(data2.path()), versionsAt2);
  EXPECT_EQ(seen.size(), sentBy.size());
  for (const auto& [body, times] : seen) EXPECT_EQ(times, 1) << body;
  // Round robin: each receiver had reports through both fronts.
  EXPECT_EQ(versionsAt1, (std::set<int>{1, 2}));
  EXPECT_EQ(versionsAt2, (std::set<int>{1, 2}));
  // The health checks' LOCAL headers were taken, not refused.
  std::string log = ReadFile(work / "receiver1.log") + ReadFile(work / "receiver2.log");
  EXPECT_EQ(log.find(": 400"), std::string::npos) << log;
}

}  // namespace
}  // namespace zandrel
