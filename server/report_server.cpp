#include "report_server.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <vector>

#include "http/md5.h"
#include "http/url.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace zandrel::server {
namespace {

constexpr uint64_t kStreamChunk = 256 * 1024;
constexpr int64_t kStreamQueue = 1 << 20;

bool AllDigits(const std::string& s) {
  if (s.empty() || s.size() > 19) return false;
  for (char ch : s) {
    if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
  }
  return true;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace

ReportServer::ReportServer(ServerOptions options) : opt_(std::move(options)) {}

ReportServer::~ReportServer() {
  for (auto& [id, c] : conns_) tcp_->close_connection(c->handle);
  conns_.clear();
}

bool ReportServer::Start(std::string& error) {
  if (!platform::MakeDirectories(opt_.dataDir)) {
    error = "cannot create the data directory " + opt_.dataDir;
    return false;
  }
  platform::RaiseOpenFileLimit();
  tcp_ = std::make_unique<net::C_TcpModule>(*this);
  tcp_->start(true);
  httpListener_ = tcp_->create_listener_on(opt_.bindAddr, opt_.httpPort);
  if (!httpListener_) {
    error = "cannot listen on TCP port " + std::to_string(opt_.httpPort);
    return false;
  }
  uint32_t addr = 0;
  net::LocalAddress(httpListener_->socket, addr, httpPort_);
  udp_ = net::create_udp_module();
  udpSocket_ = static_cast<net::C_udp_module&>(*udp_).udp_open_on(opt_.bindAddr, opt_.udpPort, this);
  if (!udpSocket_) {
    error = "cannot bind UDP port " + std::to_string(opt_.udpPort);
    return false;
  }
  net::LocalAddress(udpSocket_->socket, addr, udpPort_);
  if (opt_.hintPort) {
    hintListener_ = tcp_->create_listener_on(opt_.bindAddr, opt_.hintPort);
    if (!hintListener_) Log("hint page is not served on port %u (the port cannot be bound)", opt_.hintPort);
  }
  Log("serving HTTP on port %u, UDP on port %u, reports in %s", httpPort_, udpPort_, opt_.dataDir.c_str());
  return true;
}

void ReportServer::Poll() {
  tcp_->loop_once();
  udp_->udp_loop_once();
}

void ReportServer::Log(const char* fmt, ...) {
  if (opt_.quiet) return;
  va_list args;
  va_start(args, fmt);
  std::vfprintf(stderr, fmt, args);
  va_end(args);
  std::fputc('\n', stderr);
}

void ReportServer::i_onRecv(uint32_t addr, uint16_t port, const char* data, int32_t len) {
  udp_->udp_send(udpSocket_, data, len, addr, port);
}

void ReportServer::i_onAccept(net::conn_handle listener, net::socket_t s, uint32_t peerAddr, uint16_t peerPort,
                              uint32_t, uint16_t) {
  auto conn = std::make_unique<Conn>();
  conn->handle = tcp_->attach_socket(s, conn.get(), true);
  if (!conn->handle) {  // the engine is full: refuse this one, keep serving the others
    net::CloseSocket(s);
    return;
  }
  conn->peer = net::Ipv4Text(peerAddr) + ":" + std::to_string(peerPort);
  conn->hintOnly = listener == hintListener_;
  conn->lastActive = platform::TickCount();
  Conn* id = conn.get();
  conns_.emplace(id, std::move(conn));
}

void ReportServer::Close(Conn& c) {
  tcp_->close_connection(c.handle);
  conns_.erase(&c);
}

void ReportServer::i_onBreak(net::conn_handle h, net::user_data user) {
  auto it = conns_.find(static_cast<Conn*>(user));
  if (it == conns_.end()) {
    tcp_->close_connection(h);
    return;
  }
  Conn& c = *it->second;
  if (!c.responded && c.headDone && c.method == "POST") Log("%s %s dropped: the client left mid-body", c.method.c_str(), c.path.c_str());
  Close(c);
}

bool ReportServer::i_onData(net::conn_handle h, const char* data, int32_t len, net::user_data user) {
  auto it = conns_.find(static_cast<Conn*>(user));
  if (it == conns_.end()) {
    tcp_->close_connection(h);
    return false;
  }
  Conn& c = *it->second;
  c.lastActive = platform::TickCount();
  if (c.responded) return true;  // anything after the request is ignored
  c.request.feed(data, static_cast<uint32_t>(len));
  if (!c.headDone) {
    if (!c.request.head_complete()) {
      if (c.request.buffer().total() > http::C_http_response::kHeadSearch) {
        Respond(c, 400, "Bad Request", "request head too long\n");
      }
      return true;
    }
    c.headDone = true;
    OnHead(c);
    if (c.responded) return true;
  }
  OnBody(c);
  return true;
}

void ReportServer::OnHead(Conn& c) {
  const std::string& head = c.request.head_text();
  std::string line = head.substr(0, head.find("\r\n"));
  size_t sp1 = line.find(' ');
  size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
  if (sp1 == std::string::npos || sp2 == std::string::npos || line.compare(sp2 + 1, 5, "HTTP/") != 0 ||
      sp1 == 0 || sp2 == sp1 + 1 || line[sp1 + 1] != '/') {
    Respond(c, 400, "Bad Request", "malformed request line\n");
    return;
  }
  c.method = line.substr(0, sp1);
  c.path = line.substr(sp1 + 1, sp2 - sp1 - 1);
  if (c.hintOnly && !(c.method == "GET" && c.path == "/Hint.html")) {
    Respond(c, 404, "Not Found", "not found\n");
    return;
  }
  if (c.method == "POST" && c.path == "/test_log") {
    std::string length = c.request.find_header("Content-Length");
    if (!AllDigits(length)) {
      Respond(c, 411, "Length Required", "Content-Length required\n");
      return;
    }
    c.expectBody = http::parse_u64(length.c_str());
    if (c.expectBody > opt_.maxBody || c.expectBody > kMaxBodyLimit) {
      Respond(c, 413, "Payload Too Large", "report too large\n");
      return;
    }
    return;  // the body follows
  }
  if (c.method == "GET" && c.path == "/Hint.html") {
    Respond(c, 200, "OK", HintPage(), std::string(), "text/html; charset=utf-8");
    return;
  }
  if (c.method == "GET" && c.path == opt_.speedPath) {
    uint64_t from = 0;
    std::string range = c.request.find_header("Range");
    if (!range.empty()) {
      if (range.compare(0, 6, "bytes=") != 0 || range.back() != '-' || !AllDigits(range.substr(6, range.size() - 7))) {
        Respond(c, 400, "Bad Request", "only \"bytes=N-\" ranges are served\n");
        return;
      }
      from = http::parse_u64(range.c_str() + 6);
      if (from >= opt_.speedSize) {
        Respond(c, 416, "Range Not Satisfiable", "", "Content-Range: bytes */" + std::to_string(opt_.speedSize) + "\r\n");
        return;
      }
    }
    StartStream(c, from);
    if (!range.empty()) {
      Log("GET %s from %s: 206 from byte %llu", c.path.c_str(), c.peer.c_str(), static_cast<unsigned long long>(from));
    } else {
      Log("GET %s from %s: 200", c.path.c_str(), c.peer.c_str());
    }
    return;
  }
  Respond(c, 404, "Not Found", "not found\n");
}

void ReportServer::OnBody(Conn& c) {
  if (c.responded || c.method != "POST") return;
  http::C_chunk_buffer& buf = c.request.body_buffer();
  if (buf.total() < c.expectBody) return;
  std::string body(static_cast<size_t>(c.expectBody), '\0');
  buf.take(body.data(), static_cast<uint32_t>(c.expectBody));
  std::string digest = http::md5_hex_upper(body.data(), body.size());
  std::string flag = c.request.find_header("file_flag");
  if (!SameIgnoringCase(flag, digest)) {
    Respond(c, 400, "Bad Request", "file_flag does not match the body\n");
    return;
  }
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::gmtime(&now));
  char name[128];
  std::snprintf(name, sizeof name, "report-%s-%06llu-%s.txt", stamp, static_cast<unsigned long long>(++sequence_),
                digest.c_str());
  if (!platform::WriteFileAtomically(opt_.dataDir, name, body.data(), body.size())) {
    Respond(c, 500, "Internal Server Error", "the report could not be stored\n");
    return;
  }
  ++stored_;
  Log("stored %s (%zu bytes) from %s", name, body.size(), c.peer.c_str());
  Respond(c, 200, "OK", "OK\n");
}

void ReportServer::Respond(Conn& c, int code, const char* reason, const std::string& body,
                           const std::string& extraHeaders, const char* type) {
  std::string out = "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\nContent-Type: " + type +
                    "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders +
                    "Connection: close\r\n\r\n" + body;
  c.responded = true;
  c.closeWhenDrained = true;
  if (code != 200 || c.method != "POST") {
    Log("%s %s from %s: %d", c.method.empty() ? "-" : c.method.c_str(), c.path.empty() ? "-" : c.path.c_str(),
        c.peer.c_str(), code);
  }
  // Closed by the next pass once the answer has left; never here, since the
  // caller may still be using the connection's record.
  tcp_->queue_send(c.handle, out.data(), static_cast<int32_t>(out.size()));
}

void ReportServer::StartStream(Conn& c, uint64_t from) {
  std::string head;
  uint64_t size = opt_.speedSize;
  if (from == 0) {
    head = "HTTP/1.1 200 OK\r\n";
  } else {
    head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
           std::to_string(size - 1) + "/" + std::to_string(size) + "\r\n";
  }
  head += "Content-Type: application/octet-stream\r\nContent-Length: " + std::to_string(size - from) +
          "\r\nConnection: close\r\n\r\n";
  c.responded = true;
  c.streaming = true;
  c.next = from;
  c.end = size;
  c.streamStart = platform::TickCount();
  tcp_->queue_send(c.handle, head.data(), static_cast<int32_t>(head.size()));
  TopUp(c, c.streamStart);
}

void ReportServer::TopUp(Conn& c, uint32_t now) {
  if (!c.streaming) return;
  if (streamChunk_.size() != kStreamChunk) streamChunk_.resize(kStreamChunk);
  std::vector<char>& chunk = streamChunk_;
  while (c.next < c.end) {
    int64_t queued = tcp_->queued_bytes(c.handle);
    if (queued < 0 || queued >= kStreamQueue) return;
    uint64_t n = std::min<uint64_t>(kStreamChunk, c.end - c.next);
    if (opt_.speedRate) {
      uint64_t allowed = opt_.speedRate * (now - c.streamStart) / 1000 + 16384;
      if (c.streamed >= allowed) return;
      n = std::min<uint64_t>(n, allowed - c.streamed);
    }
    for (uint64_t i = 0; i < n; ++i) chunk[i] = SpeedByte(c.next + i);
    if (!tcp_->queue_send(c.handle, chunk.data(), static_cast<int32_t>(n))) return;
    c.next += n;
    c.streamed += n;
    c.lastActive = now;
  }
  c.streaming = false;
  c.closeWhenDrained = true;
}

void ReportServer::i_onLoop() {
  uint32_t now = platform::TickCount();
  std::vector<Conn*> done;
  for (auto& [id, c] : conns_) {
    if (c->streaming) TopUp(*c, now);
    if (c->closeWhenDrained && tcp_->queued_bytes(c->handle) == 0) {
      done.push_back(id);
    } else if (now - lastSweep_ >= 200 && now - c->lastActive >= opt_.idleMs) {
      Log("closing idle connection from %s", c->peer.c_str());
      done.push_back(id);
    }
  }
  if (now - lastSweep_ >= 200) lastSweep_ = now;
  for (Conn* c : done) Close(*c);
}

std::string ReportServer::HintPage() const {
  std::string page;
  if (platform::ReadWholeFile(opt_.dataDir + "/Hint.html", page)) return page;
  return "<html><head><meta charset=\"utf-8\"><title>Zandrel</title></head>"
         "<body style=\"background:#ffffff\"><h3>Zandrel 网络检测</h3>"
         "<p>请在下方填写问题描述，点击“开始检测”。检测结束后点击“发送检测结果”，"
         "把检测报告发送给我们。</p></body></html>\n";
}

}  // namespace zandrel::server
