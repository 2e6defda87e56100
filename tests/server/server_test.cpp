#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "http/file_log_client.h"
#include "http/http_downloader.h"
#include "platform/md5.h"
#include "platform/files.h"
#include "server/receiver/report_server.h"
#include "server/receiver/routes.h"
#include "command.h"
#include "running_server.h"
#include "sockets.h"
#include "temp_dir.h"
#include "wait.h"

using namespace zandrel;

namespace {

// The report server of these tests: 1 MiB bodies and a 3 MiB speed file
// unless a test says otherwise.
struct RunningServer : testsupport::RunningServer {
  explicit RunningServer(uint64_t maxBody = 1 << 20, uint64_t speedSize = 3 << 20,
                         const std::function<void(server::ServerOptions&)>& adjust = nullptr)
      : testsupport::RunningServer([&](server::ServerOptions& opt) {
          opt.maxBody = maxBody;
          opt.speedSize = speedSize;
          if (adjust) adjust(opt);
        }) {
    EXPECT_TRUE(started()) << error();
  }
};

// Sends raw bytes and reads the answer until the server closes.
std::string Exchange(uint16_t port, const std::string& request, bool closeEarly = false) {
  testsock::Socket s(testsock::Connect(port));
  if (!zandrel::net::IsSocket(s.get())) return "connect failed";
  testsock::SendAll(s.get(), request);
  return closeEarly ? std::string() : testsock::ReadUntilClosed(s.get());
}

std::string Post(const std::string& body, const std::string& flag) {
  return "POST /test_log HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nfile_flag: " + flag + "\r\n\r\n" + body;
}

std::string Md5(const std::string& s) { return platform::md5_hex_upper(s.data(), s.size()); }

}  // namespace

TEST(ReportServer, StoresReportsFromOurClientByteForByte) {
  RunningServer srv;
  std::string body = "\r\n\xCE\xCA\xCC\xE2 report with \x00 inside" + std::string(20000, 'q');
  body[30] = '\0';
  http::C_file_log_client client(body.data(), static_cast<int32_t>(body.size()),
                                 "127.0.0.1:" + std::to_string(srv.port()) + "/test_log");
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (client.state_text() != "finished" && std::chrono::steady_clock::now() < end) client.step();
  ASSERT_EQ(client.state_text(), "finished");
  auto reports = srv.Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], body);
}

TEST(ReportServer, StoresReportsFromCurl) {
  if (testsupport::RunCommand("curl --version").exitCode != 0) GTEST_SKIP() << "curl is not installed";
  RunningServer srv;
  std::string body = "curl report\r\n" + std::string(5000, 'c');
  testsupport::TempDir tmp;
  std::string file = tmp / "body.txt";
  std::ofstream(file, std::ios::binary) << body;
  std::string code = testsupport::RunCommand("curl -s -o /dev/null -w '%{http_code}' -H 'file_flag: " + Md5(body) +
                         "' --data-binary @" + file + " http://127.0.0.1:" + std::to_string(srv.port()) + "/test_log").out;
  EXPECT_EQ(code, "200");
  auto reports = srv.Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], body);
}

TEST(ReportServer, RefusesBadPostsWithoutStoringAnything) {
  RunningServer srv(1000);
  EXPECT_EQ(Exchange(srv.port(), Post("abc", Md5("abd"))).substr(0, 12), "HTTP/1.1 400");
  EXPECT_EQ(Exchange(srv.port(), Post("abc", "")).substr(0, 12), "HTTP/1.1 400");
  EXPECT_EQ(Exchange(srv.port(), "POST /test_log HTTP/1.1\r\nfile_flag: x\r\n\r\nabc").substr(0, 12), "HTTP/1.1 411");
  EXPECT_EQ(Exchange(srv.port(), "POST /test_log HTTP/1.1\r\nContent-Length: 1x\r\n\r\nabc").substr(0, 12),
            "HTTP/1.1 411");
  std::string big(1001, 'b');
  EXPECT_EQ(Exchange(srv.port(), Post(big, Md5(big))).substr(0, 12), "HTTP/1.1 413");
  EXPECT_EQ(Exchange(srv.port(), "garbage\r\n\r\n").substr(0, 12), "HTTP/1.1 400");
  EXPECT_EQ(Exchange(srv.port(), "GET nopath HTTP/1.1\r\n\r\n").substr(0, 12), "HTTP/1.1 400");
  EXPECT_EQ(Exchange(srv.port(), std::string(20000, 'h')).substr(0, 12), "HTTP/1.1 400");
  EXPECT_EQ(Exchange(srv.port(), "GET /other HTTP/1.1\r\n\r\n").substr(0, 12), "HTTP/1.1 404");
  // A client that leaves mid-body, while another posts at the same time.
  std::string half = "POST /test_log HTTP/1.1\r\nContent-Length: 500\r\nfile_flag: " + Md5(std::string(500, 'm')) +
                     "\r\n\r\n" + std::string(200, 'm');
  Exchange(srv.port(), half, true);
  std::string ok = "good";
  EXPECT_EQ(Exchange(srv.port(), Post(ok, Md5(ok))).substr(0, 15), "HTTP/1.1 200 OK");
  // The one that left may be noticed a pass after the good one is answered;
  // its temporary goes then.
  EXPECT_TRUE(testsupport::WaitUntil([&] { return srv.Reports().size() == 1; }));
  auto reports = srv.Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "good");
}

TEST(ReportServer, ServesTheHintPageAndAnswersUdp) {
  RunningServer srv;
  std::string page = Exchange(srv.port(), "GET /Hint.html HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(page.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_NE(page.find("<html>"), std::string::npos);

  testsock::Socket u(testsock::UdpBound());
  testsock::SendTo(u.get(), "test_udp", srv.udp_port());
  ASSERT_TRUE(testsock::WaitReadable(u.get(), 2000));
  char buf[64];
  EXPECT_EQ(testsock::Recv(u.get(), buf, sizeof buf), 8);
}

namespace {
struct Collect : http::I_http_data_handler {
  std::string body;
  uint64_t total = 0;
  int finished = 0;
  void i_onHttpLength(uint64_t t) override { total = t; }
  void i_onHttpData(const char* d, int32_t n) override {
    if (d) body.append(d, static_cast<size_t>(n));
  }
  void i_onHttpFinished() override { ++finished; }
};
}  // namespace

TEST(ReportServer, SpeedFileWithAndWithoutRange) {
  const uint64_t size = 3 << 20;
  RunningServer srv(1 << 20, size);
  std::string want(size, '\0');
  for (uint64_t i = 0; i < size; ++i) want[i] = server::SpeedByte(i);

  Collect sink;
  http::C_http_downloader dl("http://127.0.0.1:" + std::to_string(srv.port()) + "/speedtest/zandrel-speed.bin", sink);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!sink.finished && std::chrono::steady_clock::now() < end) dl.step();
  ASSERT_EQ(sink.finished, 1);
  EXPECT_EQ(sink.total, size);
  EXPECT_TRUE(sink.body == want);

  std::string ranged = Exchange(srv.port(), "GET /speedtest/zandrel-speed.bin HTTP/1.1\r\nRange: bytes=3000000-\r\n\r\n");
  size_t head = ranged.find("\r\n\r\n") + 4;
  EXPECT_EQ(ranged.substr(0, 12), "HTTP/1.1 206");
  EXPECT_NE(ranged.find("Content-Range: bytes 3000000-3145727/3145728\r\n"), std::string::npos);
  EXPECT_TRUE(ranged.substr(head) == want.substr(3000000));
  EXPECT_EQ(Exchange(srv.port(), "GET /speedtest/zandrel-speed.bin HTTP/1.1\r\nRange: bytes=3145728-\r\n\r\n").substr(0, 12),
            "HTTP/1.1 416");
}

