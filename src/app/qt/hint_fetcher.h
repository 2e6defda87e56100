// Fetches the hint page with the system's own downloader, stepped by a
// timer of the view; the page lands in the view as rich text.
#pragma once
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "http/http_downloader.h"

namespace zandrel {

class HintFetcher final : public http::I_http_data_handler {
 public:
  static constexpr std::size_t kMaxPage = 1 << 20;
  static constexpr int kTickLimit = 1000;

  // done(page) runs once, on the UI thread, only when a whole page of at
  // most kMaxPage bytes arrived.
  HintFetcher(const std::string& url, std::function<void(const std::string&)> done);
  ~HintFetcher() override;

  void i_onHttpLength(uint64_t) override {}
  void i_onHttpData(const char* data, int32_t len) override;
  void i_onHttpFinished() override { finished_ = true; }

 private:
  void Tick();

  std::unique_ptr<http::C_http_downloader> downloader_;
  QTimer timer_;
  std::function<void(const std::string&)> done_;
  std::string page_;
  bool finished_ = false;
  bool tooLarge_ = false;  // the page outgrew kMaxPage: it is not shown
  int ticks_ = 0;
};

}  // namespace zandrel
