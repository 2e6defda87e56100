#include "exchange.h"

#include <algorithm>

#include "platform/files.h"
#include "routes.h"

namespace zandrel::server {
namespace {

bool ParseLength(const std::string* text, uint64_t& out) {
  if (!text || text->empty() || text->size() > 19) return false;
  out = 0;
  for (char ch : *text) {
    if (ch < '0' || ch > '9') return false;
    out = out * 10 + static_cast<uint64_t>(ch - '0');
  }
  return true;
}

std::string HintPage(const std::string& dataDir) {
  std::string page;
  if (platform::ReadWholeFile(dataDir + "/Hint.html", page)) return page;
  return "<html><head><meta charset=\"utf-8\"><title>Zandrel</title></head>"
         "<body style=\"background:#ffffff\"><h3>Zandrel 网络检测</h3>"
         "<p>请在下方填写问题描述，点击“开始检测”。检测结束后点击“发送检测结果”，"
         "把检测报告发送给我们。</p></body></html>\n";
}

}  // namespace

Exchange::Exchange(const ServerOptions& opt, ReportStore& store, uint32_t peerAddr, std::string peerText,
                   bool hintOnly, uint32_t nowMs)
    : opt_(opt), store_(store), peerAddr_(peerAddr), peerText_(std::move(peerText)), hintOnly_(hintOnly),
      started_(nowMs) {}

Exchange::~Exchange() = default;

void Exchange::Feed(const char* data, std::size_t len, uint32_t nowMs) {
  if (answered_) return;
  if (headDone_) {
    TakeBody(data, len);
    return;
  }
  std::size_t take = std::min(len, kMaxHeadBytes - std::min(kMaxHeadBytes, headBytes_.size()));
  headBytes_.append(data, take);
  HeadParse p = ParseRequestHead(headBytes_, head_);
  if (p.state == HeadState::kIncomplete) return;
  if (p.state == HeadState::kBad) {
    Respond(400, "Bad Request", std::string(p.error) + "\n");
    return;
  }
  headDone_ = true;
  headDoneAt_ = nowMs;
  std::string early = headBytes_.substr(p.length);  // body bytes that came with the head
  std::string().swap(headBytes_);
  OnHead(nowMs);
  if (answered_) return;
  TakeBody(early.data(), early.size());
  if (!answered_) TakeBody(data + take, len - take);
}

void Exchange::OnHead(uint32_t nowMs) {
  switch (FindRoute(head_, opt_.speedPath, hintOnly_)) {
    case Route::kReport:
      StartReport(nowMs);
      break;
    case Route::kHintPage:
      Respond(200, "OK", HintPage(opt_.dataDir), std::string(), "text/html; charset=utf-8");
      break;
    case Route::kSpeedFile:
      StartSpeedFile();
      break;
    case Route::kNotFound:
      Respond(404, "Not Found", "not found\n");
      break;
  }
}

void Exchange::StartReport(uint32_t nowMs) {
  if (head_.Find("Transfer-Encoding")) {
    Respond(400, "Bad Request", "a report is sent with Content-Length, not a transfer coding\n");
    return;
  }
  uint64_t length = 0;
  if (!ParseLength(head_.Find("Content-Length"), length)) {
    Respond(411, "Length Required", "Content-Length required\n");
    return;
  }
  if (length > opt_.maxBody || length > kMaxBodyLimit) {
    Respond(413, "Payload Too Large", "report too large\n");
    return;
  }
  ReportStore::Admission a = store_.Admit(peerAddr_, length, nowMs);
  if (a.status == 429) {
    Respond(429, "Too Many Requests", "too many reports from this address\n",
            "Retry-After: " + std::to_string(a.retryAfter) + "\r\n");
    return;
  }
  if (a.status != 200) {
    Respond(507, "Insufficient Storage", "the server cannot store reports now\n");
    return;
  }
  bodyLength_ = length;
  upload_ = store_.Begin(length);
  if (!upload_) {
    Respond(500, "Internal Server Error", "the report could not be stored\n");
    return;
  }
  if (length == 0) TakeBody(nullptr, 0);
}

void Exchange::TakeBody(const char* data, std::size_t len) {
  if (!upload_ || answered_) return;
  // Bytes past the declared length are not part of the report.
  uint64_t left = bodyLength_ - upload_->received();
  std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(len, left));
  if (n && !upload_->Write(data, n)) {
    upload_.reset();
    Respond(507, "Insufficient Storage", "the report could not be written\n");
    return;
  }
  if (n < left) return;
  const std::string* flag = head_.Find("file_flag");
  if (!upload_->Matches(flag ? *flag : std::string())) {
    upload_.reset();
    Respond(400, "Bad Request", "file_flag does not match the body\n");
    return;
  }
  // Answered once the report is in place, by Settle; at once without a worker.
  storing_ = store_.Store(std::move(upload_), peerText_);
  Settle();
}

void Exchange::Settle() {
  if (!storing_ || storing_->status == 0) return;
  int code = storing_->status;
  storing_.reset();
  if (code == 200) {
    Respond(200, "OK", "OK\n");
  } else {
    Respond(507, "Insufficient Storage", "the report could not be written\n");
  }
}

void Exchange::StartSpeedFile() {
  const uint64_t size = opt_.speedSize;
  ByteRange r = ResolveRange(head_.Find("Range"), size);
  if (r.kind == ByteRange::kUnsatisfiable) {
    Respond(416, "Range Not Satisfiable", "", "Content-Range: bytes */" + std::to_string(size) + "\r\n");
    return;
  }
  std::string out;
  uint64_t length = size ? r.last - r.first + 1 : 0;
  if (r.kind == ByteRange::kPart) {
    out = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(r.first) + "-" +
          std::to_string(r.last) + "/" + std::to_string(size) + "\r\n";
    LogLine(opt_.quiet, "GET %s from %s: 206 bytes %llu-%llu", head_.target.c_str(), peerText_.c_str(),
            static_cast<unsigned long long>(r.first), static_cast<unsigned long long>(r.last));
  } else {
    out = "HTTP/1.1 200 OK\r\n";
    LogLine(opt_.quiet, "GET %s from %s: 200", head_.target.c_str(), peerText_.c_str());
  }
  out += "Content-Type: application/octet-stream\r\nAccept-Ranges: bytes\r\nContent-Length: " +
         std::to_string(length) + "\r\nConnection: close\r\n\r\n";
  output_ += out;
  answered_ = true;
  streamNext_ = r.first;
  streamEnd_ = r.first + length;
}

std::size_t Exchange::Produce(char* out, std::size_t max) {
  std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(max, stream_left()));
  for (std::size_t i = 0; i < n; ++i) out[i] = SpeedByte(streamNext_ + i);
  streamNext_ += n;
  return n;
}

void Exchange::Respond(int code, const char* reason, std::string_view body, const std::string& extraFields,
                       const char* type) {
  output_ += "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\nContent-Type: " + type +
             "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraFields +
             "Connection: close\r\n\r\n";
  output_ += body;
  answered_ = true;
  if (code != 200 || head_.method != "POST") {
    LogLine(opt_.quiet, "%s %s from %s: %d", head_.method.empty() ? "-" : head_.method.c_str(),
            head_.target.empty() ? "-" : head_.target.c_str(), peerText_.c_str(), code);
  }
}

void Exchange::ClientLeft() {
  if (upload_ && !answered_) {
    LogLine(opt_.quiet, "%s %s from %s dropped: the client left mid-body", head_.method.c_str(), head_.target.c_str(),
            peerText_.c_str());
  }
  upload_.reset();
}

bool Exchange::Overdue(uint32_t nowMs) const {
  if (answered_) return false;
  if (!headDone_) return nowMs - started_ >= opt_.headMs;
  uint32_t elapsed = nowMs - headDoneAt_;
  if (!upload_ || elapsed <= opt_.headMs) return false;
  return upload_->received() * 1000 < opt_.minRate * (elapsed - opt_.headMs);
}

std::string Exchange::TakeOutput() {
  std::string out;
  out.swap(output_);
  return out;
}

std::string HandleInProcess(const ServerOptions& opt, ReportStore& store, const std::vector<std::string>& pieces,
                            uint32_t peerAddr, bool hintOnly, uint64_t maxStreamBytes) {
  Exchange x(opt, store, peerAddr, "in-process", hintOnly, 0);
  std::string out;
  for (const std::string& piece : pieces) {
    x.Feed(piece.data(), piece.size(), 0);
    out += x.TakeOutput();
  }
  if (!x.answered()) x.ClientLeft();
  char chunk[4096];
  while (maxStreamBytes > 0 && x.stream_left() > 0) {
    std::size_t n = x.Produce(chunk, static_cast<std::size_t>(std::min<uint64_t>(sizeof chunk, maxStreamBytes)));
    out.append(chunk, n);
    maxStreamBytes -= n;
  }
  return out;
}

}  // namespace zandrel::server
