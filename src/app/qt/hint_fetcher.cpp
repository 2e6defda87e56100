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
  if (data && page_.size() + static_cast<std::size_t>(len) <= kMaxPage) page_.append(data, static_cast<std::size_t>(len));
}

void HintFetcher::Tick() {
  if (!finished_ && ++ticks_ < kTickLimit) {
    downloader_->step();
    if (!finished_ && !downloader_->stalled()) return;
  }
  // Finished, or given up: a page that did not arrive leaves the view as it is.
  timer_.stop();
  if (finished_ && !page_.empty()) done_(page_);
}

}  // namespace zandrel
