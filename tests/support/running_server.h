// A report server on ephemeral ports with a data directory of its own,
// polled by a thread of its own until the object goes.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/receiver/report_server.h"
#include "temp_dir.h"

namespace testsupport {

// Options for a server under test: ephemeral ports, no second hint listener,
// quiet, no free-space floor, no index, storing into dataDir.
zandrel::server::ServerOptions TestServerOptions(const std::string& dataDir);

class RunningServer {
 public:
  // adjust may change any option before the server starts.
  explicit RunningServer(const std::function<void(zandrel::server::ServerOptions&)>& adjust = nullptr);
  ~RunningServer();
  RunningServer(const RunningServer&) = delete;
  RunningServer& operator=(const RunningServer&) = delete;

  bool started() const { return started_; }
  // Stops polling; the server's figures may then be read without a race.
  void Stop();
  const std::string& error() const { return error_; }
  uint16_t port() const { return server_->http_port(); }
  uint16_t udp_port() const { return server_->udp_port(); }
  zandrel::server::ReportServer& server() { return *server_; }
  const std::string& dir() const { return dir_.path(); }
  // The stored reports' contents, in the order of their file names.
  std::vector<std::string> Reports() const { return dir_.Contents(); }

 private:
  TempDir dir_{"zandrel-reports"};
  std::unique_ptr<zandrel::server::ReportServer> server_;
  bool started_ = false;
  std::string error_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace testsupport
