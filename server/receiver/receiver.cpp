#include "server/receiver/receiver.h"

#include <algorithm>

#include "platform/files.h"
#include "server/common/log.h"
#include "server/receiver/routes.h"

namespace zandrel::server {
namespace {

std::string HintPage(const std::string& dataDir) {
  std::string page;
  if (platform::ReadWholeFile(dataDir + "/Hint.html", page)) return page;
  return "<html><head><meta charset=\"utf-8\"><title>Zandrel</title></head>"
         "<body style=\"background:#ffffff\"><h3>Zandrel 网络检测</h3>"
         "<p>请在下方填写问题描述，点击“开始检测”。检测结束后点击“发送检测结果”，"
         "把检测报告发送给我们。</p></body></html>\n";
}

// Seconds a client is told to wait when a report could not be stored now.
constexpr uint32_t kStoreRetrySeconds = 5;

// A report's body on its way to the store, then its answer once stored.
class ReportRequest final : public Request {
 public:
  ReportRequest(const ServerOptions& opt, store::ReportIntake& store, std::unique_ptr<store::ReportIntake::Upload> upload,
                uint64_t length, std::string flag, const RequestHead& head, std::string peerText)
      : opt_(opt), store_(store), upload_(std::move(upload)), length_(length), flag_(std::move(flag)),
        method_(head.method), target_(head.target), peerText_(std::move(peerText)) {}

  uint64_t body_left() const override { return upload_ ? length_ - upload_->received() : 0; }

  void Body(const char* data, std::size_t len, Responder& out) override {
    if (!upload_) return;
    if (len && !upload_->Write(data, len)) {
      upload_.reset();
      out.Respond(503, "Service Unavailable", "the server is busy storing reports; try again soon\n",
                  "Retry-After: 5\r\n");
      return;
    }
    if (upload_->received() < length_) return;
    if (!upload_->Matches(flag_)) {
      upload_.reset();
      out.Respond(400, "Bad Request", "file_flag does not match the body\n");
      return;
    }
    // Answered once the report is in place, by Settle; at once without a worker.
    storing_ = store_.Store(std::move(upload_), peerText_);
    Settle(out);
  }

  void Settle(Responder& out) override {
    if (!storing_ || storing_->status == 0) return;
    std::shared_ptr<const store::Storing> done = std::move(storing_);
    if (done->status == 200) {
      // The id lets the user quote the report, and support find it.
      out.Respond(200, "OK", done->id + "\n", "X-Report-Id: " + done->id + "\r\n");
    } else if (done->status == 503) {
      out.Respond(503, "Service Unavailable", "the report could not be stored now; try again soon\n",
                  "Retry-After: " + std::to_string(kStoreRetrySeconds) + "\r\n");
    } else {
      out.Respond(507, "Insufficient Storage", "the report could not be written\n");
    }
  }

  bool busy() const override { return storing_ != nullptr; }

  void ClientLeft() override {
    if (upload_) {
      LogLine(opt_.quiet, "%s %s from %s dropped: the client left mid-body", method_.c_str(),
              QuoteForLog(target_).c_str(), peerText_.c_str());
    }
    upload_.reset();
  }

 private:
  const ServerOptions& opt_;
  store::ReportIntake& store_;
  std::unique_ptr<store::ReportIntake::Upload> upload_;
  uint64_t length_;
  std::string flag_, method_, target_, peerText_;
  std::shared_ptr<const store::Storing> storing_;
};

// The generated speed-test file, from first for length bytes.
class SpeedFileRequest final : public Request {
 public:
  SpeedFileRequest(uint64_t first, uint64_t length) : next_(first), end_(first + length) {}
  uint64_t stream_left() const override { return end_ - next_; }
  std::size_t Produce(char* out, std::size_t max) override {
    std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(max, stream_left()));
    for (std::size_t i = 0; i < n; ++i) out[i] = SpeedByte(next_ + i);
    next_ += n;
    return n;
  }

 private:
  uint64_t next_, end_;
};

}  // namespace

std::unique_ptr<Request> Receiver::Open(const RequestHead& head, const Peer& peer, Responder& out, uint32_t nowMs) {
  switch (FindRoute(head, opt_.speedPath, peer.listener == kHintListener)) {
    case Route::kReport:
      return OpenReport(head, peer, out, nowMs);
    case Route::kHintPage:
      out.Respond(200, "OK", HintPage(opt_.dataDir), std::string(), "text/html; charset=utf-8");
      return nullptr;
    case Route::kSpeedFile:
      return OpenSpeedFile(head, peer, out);
    case Route::kNotFound:
      break;
  }
  out.Respond(404, "Not Found", "not found\n");
  return nullptr;
}

std::unique_ptr<Request> Receiver::OpenReport(const RequestHead& head, const Peer& peer, Responder& out,
                                              uint32_t nowMs) {
  if (head.Find("Transfer-Encoding")) {
    out.Respond(400, "Bad Request", "a report is sent with Content-Length, not a transfer coding\n");
    return nullptr;
  }
  uint64_t length = 0;
  if (!ParseContentLength(head.Find("Content-Length"), length)) {
    out.Respond(411, "Length Required", "Content-Length required\n");
    return nullptr;
  }
  if (length == 0) {
    out.Respond(400, "Bad Request", "an empty report\n");
    return nullptr;
  }
  if (length > opt_.maxBody || length > kMaxBodyLimit) {
    out.Respond(413, "Payload Too Large", "report too large\n");
    return nullptr;
  }
  store::Admission a = store_.Admit(peer.addr, length, nowMs);
  if (a.status == 429) {
    out.Respond(429, "Too Many Requests", "too many reports from this address\n",
                "Retry-After: " + std::to_string(a.retryAfter) + "\r\n");
    return nullptr;
  }
  if (a.status == 503) {
    out.Respond(503, "Service Unavailable", "the server is busy storing reports; try again soon\n",
                "Retry-After: " + std::to_string(a.retryAfter) + "\r\n");
    return nullptr;
  }
  if (a.status != 200) {
    out.Respond(507, "Insufficient Storage", "the server cannot store reports now\n");
    return nullptr;
  }
  auto upload = store_.Begin(peer.addr, length);
  const std::string* flag = head.Find("file_flag");
  auto request = std::make_unique<ReportRequest>(opt_, store_, std::move(upload), length, flag ? *flag : std::string(),
                                                 head, peer.text);
  return request;
}

std::unique_ptr<Request> Receiver::OpenSpeedFile(const RequestHead& head, const Peer& peer, Responder& out) {
  const uint64_t size = opt_.speedSize;
  ByteRange r = ResolveRange(head.Find("Range"), size);
  if (r.kind == ByteRange::kUnsatisfiable) {
    out.Respond(416, "Range Not Satisfiable", "", "Content-Range: bytes */" + std::to_string(size) + "\r\n");
    return nullptr;
  }
  std::string text;
  uint64_t length = size ? r.last - r.first + 1 : 0;
  if (r.kind == ByteRange::kPart) {
    text = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(r.first) + "-" +
           std::to_string(r.last) + "/" + std::to_string(size) + "\r\n";
    LogLineAbout(opt_.quiet, peer.addr, "GET %s from %s: 206 bytes %llu-%llu", QuoteForLog(head.target).c_str(),
                 peer.text.c_str(), static_cast<unsigned long long>(r.first), static_cast<unsigned long long>(r.last));
  } else {
    text = "HTTP/1.1 200 OK\r\n";
    LogLineAbout(opt_.quiet, peer.addr, "GET %s from %s: 200", QuoteForLog(head.target).c_str(), peer.text.c_str());
  }
  text += "Content-Type: application/octet-stream\r\nAccept-Ranges: bytes\r\nContent-Length: " +
          std::to_string(length) + "\r\nConnection: close\r\n\r\n";
  out.RespondStreamed(std::move(text));
  return std::make_unique<SpeedFileRequest>(r.first, length);
}

std::string HandleInProcess(const ServerOptions& opt, store::ReportStore& store, const std::vector<std::string>& pieces,
                            uint32_t peerAddr, bool hintOnly, uint64_t maxStreamBytes) {
  std::unique_ptr<store::ReportIntake> intake = store::EmbeddedIntake(store);
  Receiver receiver(opt, *intake);
  HttpLimits limits = opt.http();
  Peer peer;
  peer.addr = peerAddr;
  peer.text = "in-process";
  peer.listener = hintOnly ? kHintListener : kMainListener;
  return HandleInProcess(limits, receiver, pieces, std::move(peer), maxStreamBytes);
}

}  // namespace zandrel::server
