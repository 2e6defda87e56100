#include "running_server.h"

namespace testsupport {

zandrel::server::ServerOptions TestServerOptions(const std::string& dataDir) {
  zandrel::server::ServerOptions opt;
  opt.dataDir = dataDir;
  opt.httpPort = 0;
  opt.udpPort = 0;
  opt.hintPort = 0;
  opt.quiet = true;
  opt.minFreeBytes = 0;
  opt.index = false;  // the data directory holds report files alone; the index has tests of its own
  return opt;
}

RunningServer::RunningServer(const std::function<void(zandrel::server::ServerOptions&)>& adjust) {
  zandrel::server::ServerOptions opt = TestServerOptions(dir_.path());
  if (adjust) adjust(opt);
  server_ = std::make_unique<zandrel::server::ReportServer>(opt);
  started_ = server_->Start(error_);
  if (started_) {
    thread_ = std::thread([this] {
      while (!stop_) server_->Poll();
    });
  }
}

void RunningServer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

RunningServer::~RunningServer() {
  Stop();
  server_.reset();
}

}  // namespace testsupport
