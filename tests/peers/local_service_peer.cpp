// A stand-in for the live-broadcast client's local HTTP service (loopback
// port 6001) for demos, screenshots, benchmarks and the Windows end-to-end
// run: answers /crossdomain.xml and /qchannels.xml, one request per
// connection. Built on the socket shim, so it runs on both systems.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/socket.h"
#include "platform/files.h"

namespace {

const char kCrossDomain[] =
    "<?xml version=\"1.0\"?>\r\n<cross-domain-policy>\r\n<allow-access-from domain=\"*\"/>\r\n"
    "</cross-domain-policy>\r\n";
const char kChannels[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<channels>\r\n<channel id=\"20001\" name=\"CCTV-1\"/>\r\n"
    "<channel id=\"20002\" name=\"CCTV-2\"/>\r\n</channels>\r\n";
}  // namespace

int main(int argc, char** argv) {
  using namespace zandrel;
  int port = argc > 1 ? std::atoi(argv[1]) : 6001;
  platform::InstallStopSignals();
  net::SocketLayer layer;
  net::socket_t l = net::TcpSocket();
  net::SetListenerAddressUse(l);
  if (!net::BindIpv4(l, 0x7F000001, static_cast<uint16_t>(port)) || !net::Listen(l, 16)) {
    std::fprintf(stderr, "local_service_peer: cannot listen on port %d (error %d)\n", port, net::LastError());
    net::CloseSocket(l);
    return 1;
  }
  while (!platform::StopRequested()) {
    net::SocketList rd;
    rd.items.push_back(l);
    if (net::WaitReady(&rd, nullptr, nullptr, 100) <= 0) continue;
    uint32_t peerAddr = 0;
    uint16_t peerPort = 0;
    net::socket_t fd = net::AcceptIpv4(l, peerAddr, peerPort);
    if (!net::IsSocket(fd)) continue;
    std::string req;
    char buf[2048];
    for (;;) {
      if (req.find("\r\n\r\n") != std::string::npos) break;
      net::SocketList q;
      q.items.push_back(fd);
      if (net::WaitReady(&q, nullptr, nullptr, 2000) <= 0) break;
      long n = net::RecvBytes(fd, buf, sizeof buf);
      if (n <= 0) break;
      req.append(buf, static_cast<size_t>(n));
    }
    std::string body = req.find(" /crossdomain.xml ") != std::string::npos ? kCrossDomain : kChannels;
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
                         "\r\nConnection: close\r\n\r\n" + body;
    for (size_t done = 0; done < answer.size();) {
      long n = net::SendBytes(fd, answer.data() + done, answer.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    net::CloseSocket(fd);
  }
  net::CloseSocket(l);
  return 0;
}
