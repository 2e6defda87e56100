#include "app/qt/hint_fetcher.h"

#include <QTimer>

namespace zandrel {

HintFetcher::HintFetcher(const std::string& url, std::function<void(const std::string&)> done)
    : downloader_(std::make_unique<http::C_http_downloader>(url, *this)), done_(std::move(done)) {
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
  timer_.start(10);
}

HintFetcher::~HintFetcher() { timer_.stop(); }

void HintFetcher::i_onHttpData(const char* data, int32_t len) {
  if (!data || len <= 0 || tooLarge_) return;
  // A piece that does not fit ends the page: a later, smaller one must not
  // be appended after the hole it would leave.
  if (page_.size() + static_cast<std::size_t>(len) > kMaxPage) {
    tooLarge_ = true;
    std::string().swap(page_);
    return;
  }
  page_.append(data, static_cast<std::size_t>(len));
}

void HintFetcher::Tick() {
  if (!finished_ && ++ticks_ < kTickLimit) {
    downloader_->step();
    if (!finished_ && !downloader_->stalled()) return;
  }
  // Finished, or given up: a page that did not arrive whole (or is larger
  // than kMaxPage) leaves the view as it is.
  timer_.stop();
  if (finished_ && !tooLarge_ && !page_.empty()) done_(page_);
}

}  // namespace zandrel
