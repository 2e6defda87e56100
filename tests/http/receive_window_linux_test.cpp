// The receive window of a connection the engine reads once per pass: Linux
// must let it open wide at once and keep tuning it itself.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <string>

#include "http/http_downloader.h"
#include "http_peer.h"
#include "net/socket.h"
#include "wait.h"

using namespace zandrel;

namespace {

constexpr int kWindow = http::C_http_downloader::kReceiveWindowBytes;

int IntOption(int fd, int name) {
  int v = -1;
  socklen_t len = sizeof v;
  EXPECT_EQ(getsockopt(fd, SOL_SOCKET, name, &v, &len), 0);
  return v;
}

// The kernel grants a low-water mark up to half the largest buffer its
// tuning may give a TCP socket (tcp_rmem's third figure).
bool RoomFor(long window) {
  std::ifstream f("/proc/sys/net/ipv4/tcp_rmem");
  long lo = 0, def = 0, hi = 0;
  f >> lo >> def >> hi;
  return hi / 2 >= window;
}

// This process's socket connected to 127.0.0.1:port, or -1.
int SocketConnectedTo(uint16_t port) {
  for (int fd = 3; fd < 1024; ++fd) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 && peer.sin_family == AF_INET &&
        ntohs(peer.sin_port) == port) {
      return fd;
    }
  }
  return -1;
}

struct Ignore : http::I_http_data_handler {
  void i_onHttpLength(uint64_t) override {}
  void i_onHttpData(const char*, int32_t) override {}
  void i_onHttpFinished() override {}
};

}  // namespace

TEST(ReceiveWindow, RaisedWithTheKernelsTuningLeftOn) {
  const int more = kWindow + kWindow / 2;
  if (!RoomFor(more)) GTEST_SKIP() << "tcp_rmem's limit is below " << 2 * more << " bytes";
  net::SocketLayer layer;
  auto [a, b] = testsock::TcpPair();
  testsock::Socket client(a), server(b);
  const int before = IntOption(a, SO_RCVBUF);
  if (before >= kWindow) GTEST_SKIP() << "the default buffer is already " << before << " bytes: nothing to raise";
  net::ReserveReceiveWindow(a, kWindow);
  EXPECT_GE(IntOption(a, SO_RCVBUF), kWindow);
  EXPECT_EQ(IntOption(a, SO_RCVLOWAT), 1);
  // A buffer fixed with SO_RCVBUF would lock out the kernel's tuning, and a
  // larger mark would then be refused its growth.
  const int raised = IntOption(a, SO_RCVBUF);
  ASSERT_EQ(setsockopt(a, SOL_SOCKET, SO_RCVLOWAT, &more, sizeof more), 0);
  EXPECT_GT(IntOption(a, SO_RCVBUF), raised) << "the buffer's size was fixed";
  // Never smaller: asking for less leaves the larger buffer.
  const int grown = IntOption(a, SO_RCVBUF);
  net::ReserveReceiveWindow(a, 4096);
  EXPECT_EQ(IntOption(a, SO_RCVBUF), grown);
  EXPECT_EQ(IntOption(a, SO_RCVLOWAT), 1);
}

TEST(ReceiveWindow, TheDownloadersConnectionHasIt) {
  if (!RoomFor(kWindow)) GTEST_SKIP() << "tcp_rmem's limit is below " << 2 * kWindow << " bytes";
  testhttp::Server srv([](testsock::socket_t fd, const std::string&, int) {
    testhttp::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
  });
  ASSERT_TRUE(srv.listening());
  Ignore sink;
  http::C_http_downloader dl(srv.url("/big.bin"), sink);
  // Stop once the request is in: the connection is then still open.
  ASSERT_TRUE(testsupport::WaitUntil([&] {
    dl.step();
    return !srv.requests().empty();
  }));
  int fd = SocketConnectedTo(srv.port());
  ASSERT_GE(fd, 0) << "the downloader's connection was not found";
  EXPECT_GE(IntOption(fd, SO_RCVBUF), kWindow);
  EXPECT_EQ(IntOption(fd, SO_RCVLOWAT), 1);
}
