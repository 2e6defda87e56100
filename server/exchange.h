// One connection's request handling, without sockets: bytes from the client
// go in, the answer's bytes come out. The socket side (ReportServer) and
// in-process drivers such as tests use the same code.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "report_store.h"
#include "request_head.h"

namespace zandrel::server {

class Exchange {
 public:
  Exchange(const ServerOptions& opt, ReportStore& store, uint32_t peerAddr, std::string peerText, bool hintOnly,
           uint32_t nowMs);
  ~Exchange();
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // Bytes from the client; what follows the request is ignored.
  void Feed(const char* data, std::size_t len, uint32_t nowMs);
  // The client went away. A report already handed to the store is still
  // stored.
  void ClientLeft();
  // A whole report is with the store, not yet in place.
  bool storing() const { return storing_ != nullptr; }
  // Answers a report the store has finished with; nothing while it has not.
  void Settle();

  // Answer bytes not yet taken. A speed-file body is not included: it is
  // taken with Produce.
  std::string TakeOutput();
  bool has_output() const { return !output_.empty(); }
  // Speed-file bytes still to produce, and producing up to max of them.
  uint64_t stream_left() const { return streamEnd_ - streamNext_; }
  std::size_t Produce(char* out, std::size_t max);

  bool answered() const { return answered_; }
  // Every byte of the answer has been handed out (the connection may close
  // once they have been sent).
  bool finished() const { return answered_ && output_.empty() && stream_left() == 0; }
  // The request has not met its deadlines: the head within headMs of the
  // connection, the body at minRate after that.
  bool Overdue(uint32_t nowMs) const;
  uint32_t started() const { return started_; }
  const std::string& peer() const { return peerText_; }

 private:
  void OnHead(uint32_t nowMs);
  void StartReport(uint32_t nowMs);
  void StartSpeedFile();
  void TakeBody(const char* data, std::size_t len);
  void Respond(int code, const char* reason, std::string_view body, const std::string& extraFields = std::string(),
               const char* type = "text/plain");

  const ServerOptions& opt_;
  ReportStore& store_;
  uint32_t peerAddr_;
  std::string peerText_;
  bool hintOnly_;
  uint32_t started_, headDoneAt_ = 0;
  std::string headBytes_;
  bool headDone_ = false, answered_ = false;
  RequestHead head_;
  std::unique_ptr<ReportStore::Upload> upload_;
  std::shared_ptr<const ReportStore::Storing> storing_;
  std::string output_;
  uint64_t bodyLength_ = 0;
  uint64_t streamNext_ = 0, streamEnd_ = 0;
};

// Drives one connection in process: the pieces are fed in order, and the
// bytes the server would send are returned (a speed-file body up to
// maxStreamBytes of it). Reports go to the store as they would from a socket.
std::string HandleInProcess(const ServerOptions& opt, ReportStore& store, const std::vector<std::string>& pieces,
                            uint32_t peerAddr = 0x7f000001, bool hintOnly = false, uint64_t maxStreamBytes = 65536);

}  // namespace zandrel::server
