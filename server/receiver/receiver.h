// What the report server answers: reports posted to "/test_log" go to the
// store, the hint page and the generated speed-test file are served. The
// HTTP stack hands it each request once the head is in.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/http/exchange.h"
#include "server/receiver/options.h"
#include "server/store/report_intake.h"
#include "server/store/report_store.h"

namespace zandrel::server {

// Listener tags: the hint-page port serves the hint page and nothing else.
enum ListenerTag { kMainListener = 0, kHintListener = 1 };

class Receiver final : public RequestHandler {
 public:
  Receiver(const ServerOptions& opt, store::ReportIntake& store) : opt_(opt), store_(store) {}

  std::unique_ptr<Request> Open(const RequestHead& head, const Peer& peer, Responder& out, uint32_t nowMs) override;
  void OnPass() override { store_.Collect(); }

 private:
  std::unique_ptr<Request> OpenReport(const RequestHead& head, const Peer& peer, Responder& out, uint32_t nowMs);
  std::unique_ptr<Request> OpenSpeedFile(const RequestHead& head, const Peer& peer, Responder& out);

  const ServerOptions& opt_;
  store::ReportIntake& store_;
};

// Drives one connection to a receiver in process: the pieces are fed in
// order, and the bytes the server would send are returned (a speed-file
// body up to maxStreamBytes of it).
std::string HandleInProcess(const ServerOptions& opt, store::ReportStore& store, const std::vector<std::string>& pieces,
                            uint32_t peerAddr = 0x7f000001, bool hintOnly = false, uint64_t maxStreamBytes = 65536);

}  // namespace zandrel::server
