// A stand-in for the live-broadcast client's local HTTP service (loopback
// port 6001) for demos, screenshots and benchmarks: answers
// /crossdomain.xml and /qchannels.xml, one request per connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

const char kCrossDomain[] =
    "<?xml version=\"1.0\"?>\r\n<cross-domain-policy>\r\n<allow-access-from domain=\"*\"/>\r\n"
    "</cross-domain-policy>\r\n";
const char kChannels[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<channels>\r\n<channel id=\"20001\" name=\"CCTV-1\"/>\r\n"
    "<channel id=\"20002\" name=\"CCTV-2\"/>\r\n</channels>\r\n";
}  // namespace

int main(int argc, char** argv) {
  int port = argc > 1 ? std::atoi(argv[1]) : 6001;
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);
  int l = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(l, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(l, 16) != 0) {
    std::perror("local_service_peer: bind");
    return 1;
  }
  while (!g_stop) {
    pollfd p{l, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    int fd = accept(l, nullptr, nullptr);
    if (fd < 0) continue;
    std::string req;
    char buf[2048];
    pollfd q{fd, POLLIN, 0};
    while (req.find("\r\n\r\n") == std::string::npos && poll(&q, 1, 2000) > 0) {
      long n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      req.append(buf, static_cast<size_t>(n));
    }
    std::string body = req.find(" /crossdomain.xml ") != std::string::npos ? kCrossDomain : kChannels;
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
                         "\r\nConnection: close\r\n\r\n" + body;
    send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
    close(fd);
  }
  close(l);
  return 0;
}
