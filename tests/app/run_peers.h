// Shared pieces of the whole-run tests: fake local probes, and loopback
// peers that answer every check of a run.
#pragma once
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "app/zandrel_dlg.h"
#include "platform/gbk.h"
#include "http_peer.h"

namespace runpeers {

using namespace zandrel;
using testhttp::Path;
using testhttp::SendAll;

inline std::string G(const char* utf8) { return platform::Utf8ToGbk(utf8); }

inline DetectionEnv FakeEnv(int* pauses = nullptr) {
  DetectionEnv env = DetectionEnv::Platform();
  env.probeAdapters = [](const LineSink& sink) {
    sink("AdapterName : eth9\r\n");
    sink("Gateway: 0.0.0.0\r\n");
  };
  // Each run of one environment lists another module; every environment
  // starts at run0, however many tests one process has run before.
  auto run = std::make_shared<int>(0);
  env.collectModules = [run](ModuleInventory& inv, const LineSink&) {
    inv.AddModule("C:\\A\\run" + std::to_string((*run)++) + ".dll");
  };
  env.cpuAvailable = true;
  auto now = std::make_shared<uint64_t>(0);
  env.cpu.processorCount = [](int32_t& n) {
    n = 4;
    return true;
  };
  env.cpu.timeOfDay = [now](uint64_t& t) {
    *now += 10000000;
    t = *now;
    return true;
  };
  env.cpu.idleTime = [now](uint64_t& idle) {
    idle = *now * 3;  // three of four processors idle
    return true;
  };
  env.cpu.sleepMs = [](uint32_t) {};
  env.freeSpaceMB = [] { return 1536.0; };
  env.pauseMs = [pauses](uint32_t) {
    if (pauses) ++*pauses;
  };
  return env;
}

// Answers every check of a run, by path.
struct Peers {
  std::string channelReply = "<channels>\r\n20001 CCTV-1\r\n</channels>";
  std::string speedBody = std::string(200000, 's');
  std::string uploaded;
  testhttp::Server http{[this](testsock::socket_t fd, const std::string& req, int) {
                          std::string path = Path(req);
                          if (path == "/speed") {
                            SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(speedBody.size()) +
                                            "\r\n\r\n" + speedBody);
                          } else if (path == "/crossdomain.xml") {
                            SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n<cross/>\n");
                          } else if (path == "/qchannels.xml") {
                            SendAll(fd, "HTTP/1.1 200 OK\r\n\r\n" + channelReply);
                          } else if (path == "/redirect-late") {
                            SendAll(fd, "HTTP/1.1 302 Found\r\nLocation: " + url("/speed") +
                                            "\r\nContent-Length: 4\r\n\r\n");
                            std::this_thread::sleep_for(std::chrono::milliseconds(300));
                            SendAll(fd, "body");
                          } else if (path == "/redirect-done") {
                            SendAll(fd, "HTTP/1.1 302 Found\r\nLocation: " + url("/speed") +
                                            "\r\nContent-Length: 4\r\n\r\nbody");
                          } else if (path == "/redirect-loop") {
                            SendAll(fd, "HTTP/1.1 302 Found\r\nLocation: " + url("/redirect-loop") +
                                            "\r\nContent-Length: 4\r\n\r\nloop");
                          } else if (path == "/redirect-loop-held") {
                            // The body of the 302 never comes: the connection waits for the client.
                            SendAll(fd, "HTTP/1.1 302 Found\r\nLocation: " + url("/redirect-loop-held") +
                                            "\r\nContent-Length: 4\r\n\r\n");
                            testsock::ReadUntilClosed(fd);
                          } else if (path == "/speed-resume" || path == "/qchannels-resume.xml") {
                            // Breaks off half way; a resume gets the whole resource again.
                            const std::string& body = path == "/speed-resume" ? speedBody : channelReply;
                            bool resume = req.find("Range: bytes=") != std::string::npos;
                            SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                            "\r\n\r\n" + (resume ? body : body.substr(0, body.size() / 2)));
                          } else if (path == "/redirect-closed") {
                            SendAll(fd, "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:" +
                                            std::to_string(testsock::ClosedPort()) + "/x\r\nContent-Length: 4\r\n\r\n");
                            std::this_thread::sleep_for(std::chrono::milliseconds(300));
                          } else if (path == "/speed-held") {
                            // One byte of the body, then nothing until the client lets go.
                            SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\ns");
                            testsock::ReadUntilClosed(fd);
                          } else if (path == "/speed-404") {
                            SendAll(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 3000\r\n\r\n" + std::string(3000, 'e'));
                          } else if (path == "/speed-503") {
                            // An error page that runs until the server closes.
                            SendAll(fd, "HTTP/1.1 503 Service Unavailable\r\n\r\n" + std::string(3000, 'e'));
                          } else if (path == "/Hint.html") {
                            SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 35\r\n\r\n<html><body>hint page</body></html>");
                          } else if (path == "/test_log") {
                            uploaded = req;
                            SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK");
                          } else {
                            SendAll(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
                          }
                        },
                        true};
  testhttp::UdpEcho udp;
  std::string url(const std::string& path) { return http.url(path); }
  CheckTargets Targets() {
    CheckTargets t;
    t.reportHost = "127.0.0.1";
    t.udpLocalPort = 0;
    t.udpServerPort = udp.port();
    t.uploadUrl = "127.0.0.1:" + std::to_string(http.port()) + "/test_log";
    t.serviceUrl = url("/crossdomain.xml");
    t.channelUrl = url("/qchannels.xml");
    return t;
  }
};

inline CheckTargets Silent() {
  CheckTargets t;
  t.reportHost = "127.0.0.1";
  t.udpLocalPort = 0;
  t.udpServerPort = testsock::FreeUdpPort();
  std::string closed = "127.0.0.1:" + std::to_string(testsock::ClosedPort());
  t.uploadUrl = closed + "/test_log";
  t.serviceUrl = "http://" + closed + "/crossdomain.xml";
  t.channelUrl = "http://" + closed + "/qchannels.xml";
  return t;
}

}  // namespace runpeers
