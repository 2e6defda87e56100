#include "checks/check_sequencer.h"

#include <algorithm>
#include <climits>
#include <ctime>

#include "base/format.h"
#include "base/texts.h"
#include "checks/upload_answer.h"
#include "detect/probes.h"

namespace zandrel {

std::string TrimGbk(const std::string& text) {
  auto isSpace = [](unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); };
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size(), begin = 0, end = 0;
  while (begin < n && isSpace(p[begin])) ++begin;
  for (size_t i = begin; i < n;) {
    size_t width = (p[i] >= 0x81 && p[i] <= 0xFE && i + 1 < n) ? 2 : 1;
    if (width == 2 || !isSpace(p[i])) end = i + width;
    i += width;
  }
  return end > begin ? text.substr(begin, end - begin) : std::string();
}

int32_t CCheckSequencer::NetworkResultsMaxBytes() {
  auto len = [](const std::string& s) { return static_cast<int32_t>(s.size()); };
  int32_t udp = std::max(len(texts::kTextUdpOk), len(texts::kTextUdpFailed));
  int32_t speed = len(StringPrintf(texts::kFormatSpeedLine, INT_MIN));
  int32_t service = std::max(len(texts::kTextServiceOk), len(StringPrintf("%s\r\n", texts::kTextServiceTimeout)));
  // The reply buffer keeps its last byte free.
  int32_t channel = std::max(len(StringPrintf(texts::kFormatChannelLine, "")) + kChannelReplyCapacity - 1,
                             len(StringPrintf("%s\r\n", texts::kTextChannelTimeout)));
  return udp + speed + service + channel;
}

CCheckSequencer::CCheckSequencer(ICheckHost& host, CheckTargets targets)
    : host_(host), targets_(std::move(targets)), m_speedMeter([this] { return host_.TickCount(); }) {}

CCheckSequencer::~CCheckSequencer() = default;

void CCheckSequencer::OnInitDialog() {
  m_udpWaitTicks = 0;
  m_udpTest.SetReceiver(this);
}

void CCheckSequencer::ResetReport() {
  m_report.Reset();
  m_channelReply.Reset();
}

void CCheckSequencer::StartUdpCheck(const std::function<bool(uint32_t)>& sleepMs) {
  m_udpWaitTicks = 0;
  m_udpTest.StartTest(targets_.reportHost, sleepMs, targets_.udpLocalPort, targets_.udpServerPort);
  host_.ArmTimer(TIMER_UDP_WAIT, 10);
}

void CCheckSequencer::Release() {
  m_report.Release();
  m_channelReply.Release();
  ReleaseClients();
  m_udpTest.Close();
  m_runActive = false;
}

void CCheckSequencer::ReleaseClients() {
  m_uploadClient.reset();
  m_speedDownloader.reset();
  m_serviceDownloader.reset();
  m_channelDownloader.reset();
}

void CCheckSequencer::OnTimer(int id) {
  switch (id) {
    case TIMER_UDP_WAIT:
      UdpWaitTick();
      break;
    case TIMER_UPLOAD:
      UploadTick();
      break;
    case TIMER_SPEED:
      SpeedTick();
      break;
    case TIMER_SERVICE:
      if (++m_serviceTicks == kServiceTickLimit) {
        ServiceCheckTimedOut();
      } else if (m_serviceDownloader) {
        m_serviceDownloader->step();
      }
      break;
    case TIMER_CHANNEL:
      if (++m_channelTicks == kChannelTickLimit) {
        ChannelCheckTimedOut();
      } else if (m_channelDownloader) {
        m_channelDownloader->step();
      }
      break;
    default:
      break;
  }
}

// ---- UDP answer wait -------------------------------------------------------

void CCheckSequencer::UdpWaitTick() {
  if (m_udpWaitTicks > kUdpWaitLimit) {
    host_.StopTimer(TIMER_UDP_WAIT);
    host_.LogProgress(texts::kTextUdpFailed);
    m_udpTest.Close();
    host_.LogProgress(texts::kBannerClosing);
    m_report.AppendBytes(texts::kTextUdpFailed, sizeof texts::kTextUdpFailed - 1);
    StartSpeedTest();
  } else {
    m_udpTest.LoopOnce();
  }
  ++m_udpWaitTicks;
}

void CCheckSequencer::OnRecv(const char*) {
  host_.LogProgress(texts::kTextUdpOk);
  m_udpTest.Close();
  host_.StopTimer(TIMER_UDP_WAIT);
  host_.LogProgress(texts::kBannerClosing);
  m_report.AppendBytes(texts::kTextUdpOk, sizeof texts::kTextUdpOk - 1);
  StartSpeedTest();
}

// ---- HTTP callback routing -------------------------------------------------

void CCheckSequencer::i_onHttpData(const char* data, int32_t len) {
  if (m_serviceCheckActive) return;
  if (m_channelCheckActive) {
    m_channelReply.AppendBytes(data, len);
    return;
  }
  // Only the body of a 200 or 206 is timed: an error page, or a redirect
  // that is not followed, measures nothing.
  if (len > 0 && !SpeedBodyCounts()) return;
  if (m_speedFirstDataTick == 0) m_speedFirstDataTick = host_.TickCount();
  m_speedMeter.AddBytes(len);
}

bool CCheckSequencer::SpeedBodyCounts() const {
  if (!m_speedDownloader) return false;
  uint16_t status = m_speedDownloader->body_status();
  return status == 200 || status == 206;
}

void CCheckSequencer::i_onHttpFinished() {
  if (m_serviceCheckActive) {
    ServiceCheckSucceeded();
  } else if (m_channelCheckActive) {
    ChannelCheckSucceeded();
  } else {
    // A 3xx whose whole body came within this step is followed like one
    // still arriving, once the step has returned.
    std::string target;
    if (m_speedDownloader && m_speedDownloader->completed_status(target) / 100 == 3 && !target.empty()) {
      if (m_speedRedirects < kSpeedRedirectLimit) {
        m_speedRedirectDone = target;
      } else {
        GiveUpSpeedTest();
      }
      return;
    }
    FinishSpeedTest();
  }
}

// ---- Download speed test ---------------------------------------------------

void CCheckSequencer::StartSpeedTest() {
  m_speedDownloader.reset();
  m_speedShowTicks = 0;
  m_speedTicks = 0;
  m_speedMeter.m_windowMs = 1000;
  m_speedMeter.m_totalBytes = 0;
  m_speedRedirects = 0;
  m_speedRedirectDone.clear();
  m_speedRunning = true;
  host_.LogProgress(texts::kBannerSpeedTest);
  m_speedDownloader = std::make_unique<http::C_http_downloader>(host_.ReadSpeedUrl(), *this);
  m_speedFirstDataTick = 0;
  m_speedMeter.Clear();
  host_.ArmTimer(TIMER_SPEED, 10);
}

void CCheckSequencer::SpeedTick() {
  ++m_speedShowTicks;
  ++m_speedTicks;
  if (m_speedTicks == kSpeedTickLimit) {
    FinishSpeedTest();
    m_speedDownloader.reset();
    return;
  }
  m_speedMeter.Expire(host_.TickCount());
  if (m_speedShowTicks == 100) {
    host_.SetStatusText(StringPrintf(texts::kFormatLiveSpeed, m_speedMeter.m_windowBytes / 1024));
    m_speedShowTicks = 0;
  }
  if (!m_speedDownloader) return;
  m_speedDownloader->step();
  if (!m_speedRunning) {
    // The test ended inside the step: let go of the connection now that the
    // step has returned.
    m_speedDownloader.reset();
    return;
  }
  std::string target;
  if (!m_speedRedirectDone.empty()) {
    target.swap(m_speedRedirectDone);
    FollowSpeedRedirect(target);
  } else if (m_speedDownloader->get_status(target) / 100 == 3) {
    if (m_speedRedirects < kSpeedRedirectLimit) {
      FollowSpeedRedirect(target);
    } else {
      // One redirect too many: the test ends as if the server could not
      // be reached.
      GiveUpSpeedTest();
      m_speedDownloader.reset();
    }
  }
}

void CCheckSequencer::GiveUpSpeedTest() {
  m_speedFirstDataTick = 0;
  m_speedMeter.Clear();
  FinishSpeedTest();
}

void CCheckSequencer::FollowSpeedRedirect(const std::string& target) {
  ++m_speedRedirects;
  host_.StopTimer(TIMER_SPEED);
  m_speedDownloader.reset();
  m_speedDownloader = std::make_unique<http::C_http_downloader>(target, *this);
  m_speedFirstDataTick = 0;
  m_speedMeter.Clear();
  host_.ArmTimer(TIMER_SPEED, 10);
}

void CCheckSequencer::FinishSpeedTest() {
  m_speedRunning = false;
  uint32_t elapsed = host_.TickCount() - m_speedFirstDataTick;
  if (elapsed == 0) elapsed = 10;
  host_.StopTimer(TIMER_SPEED);
  host_.PauseMs(10);
  int64_t average = m_speedMeter.m_totalBytes / static_cast<int64_t>(elapsed);
  std::string line = StringPrintf(texts::kFormatSpeedLine, static_cast<int32_t>(static_cast<uint32_t>(average)));
  host_.LogProgress(line);
  m_report.Append(line.c_str());
  host_.SetStatusText("");
  host_.LogProgress(texts::kBannerClosing);
  StartServiceCheck();
}

// ---- Local service and channel checks ------------------------------------

void CCheckSequencer::StartServiceCheck() {
  m_serviceDownloader.reset();
  host_.LogProgress(texts::kBannerServiceCheck);
  m_serviceDownloader = std::make_unique<http::C_http_downloader>(targets_.serviceUrl, *this);
  m_serviceCheckActive = true;
  m_serviceTicks = 0;
  host_.PauseMs(10);
  host_.ArmTimer(TIMER_SERVICE, 10);
}

void CCheckSequencer::ServiceCheckSucceeded() {
  host_.StopTimer(TIMER_SERVICE);
  host_.PauseMs(10);
  if (m_serviceDownloader) {
    m_serviceCheckActive = false;
    m_serviceTicks = 0;
  }
  std::string line = StringPrintf("%s\r\n", texts::kTextServiceOk);
  host_.LogProgress(line);
  m_report.Append(TrimGbk(line).c_str());
  host_.LogProgress(texts::kBannerClosing);
  StartChannelCheck();
}

void CCheckSequencer::ServiceCheckTimedOut() {
  host_.StopTimer(TIMER_SERVICE);
  host_.PauseMs(10);
  if (m_serviceDownloader) {
    m_serviceCheckActive = false;
    m_serviceTicks = 0;
  }
  LogAndAppend(StringPrintf("%s\r\n", texts::kTextServiceTimeout));
  host_.LogProgress(texts::kBannerClosing);
  StartChannelCheck();
}

void CCheckSequencer::StartChannelCheck() {
  m_channelDownloader.reset();
  host_.LogProgress(texts::kBannerChannelCheck);
  m_channelDownloader = std::make_unique<http::C_http_downloader>(targets_.channelUrl, *this);
  m_channelCheckActive = true;
  m_channelTicks = 0;
  host_.PauseMs(10);
  host_.ArmTimer(TIMER_CHANNEL, 10);
}

void CCheckSequencer::ChannelCheckSucceeded() {
  host_.StopTimer(TIMER_CHANNEL);
  host_.PauseMs(10);
  host_.LogProgress(StringPrintf("%s\r\n", texts::kTextChannelOk));
  // The reply buffer always keeps its last byte free, so it reads as a
  // terminated text even when the reply filled it.
  std::string reply = m_channelReply.Data() ? std::string(m_channelReply.Data()) : std::string();
  m_report.Append(StringPrintf(texts::kFormatChannelLine, reply.c_str()).c_str());
  m_report.Terminate();
  host_.EnableStartButton(true);
  host_.EnableSendButton(true);
  host_.LogProgress(texts::kBannerClosing);
  m_channelCheckActive = false;
  m_channelTicks = 0;
  m_runActive = false;
}

void CCheckSequencer::ChannelCheckTimedOut() {
  host_.StopTimer(TIMER_CHANNEL);
  host_.PauseMs(10);
  if (m_channelDownloader) {
    m_channelCheckActive = false;
    m_channelTicks = 0;
  }
  LogAndAppend(StringPrintf("%s\r\n", texts::kTextChannelTimeout));
  m_report.Terminate();
  host_.EnableStartButton(true);
  host_.EnableSendButton(true);
  host_.LogProgress(texts::kBannerClosing);
  m_runActive = false;
}

// ---- Upload ----------------------------------------------------------------

void CCheckSequencer::OnSendClicked() {
  host_.EnableSendButton(false);
  host_.EnableStartButton(false);
  host_.LogProgress(texts::kTextUploading);
  CreateUploadClient();
  host_.ArmTimer(TIMER_UPLOAD, kUploadPeriodMs);
  host_.EnableSendButton(false);
}

void CCheckSequencer::CreateUploadClient() {
  if (m_uploadClient) return;
  m_uploadClient = std::make_unique<http::C_file_log_client>(m_report.Data(), m_report.Length(), targets_.uploadUrl);
  m_uploadTicks = 0;
  m_lastUploadStatus = kUploadNotEnded;
  host_.ArmTimer(TIMER_UPLOAD, kUploadPeriodMs);
}

void CCheckSequencer::UploadTick() {
  if (!m_uploadClient) return;
  if (m_uploadClient->state_text() == "finished") {
    FinishUpload();
    return;
  }
  m_uploadClient->step();
  if (++m_uploadTicks >= kUploadQuietTicks && (m_uploadTicks - kUploadQuietTicks) % kUploadStatusEveryTicks == 0) {
    ShowUploadWait();
  }
}

void CCheckSequencer::ShowUploadWait() {
  int seconds = static_cast<int>(static_cast<int64_t>(m_uploadTicks) * kUploadPeriodMs / 1000);
  // Until the request is on its way the server has not been reached.
  const char* format = m_uploadClient->state_text() == "sending" ? texts::kFormatUploadAwaitingAnswer
                                                                 : texts::kFormatUploadUnreachable;
  host_.SetStatusText(StringPrintf(format, seconds));
  m_uploadWaitShown = true;
}

// Only a 2xx answer took the report. Anything else leaves the run's report
// as it is and the send button enabled, so the user can send it again.
void CCheckSequencer::FinishUpload() {
  const int32_t status = m_uploadClient->final_status();
  const std::string reportId = m_uploadClient->answer_header(kReportIdHeader);
  const std::string retryAfter = m_uploadClient->answer_header("Retry-After");
  const std::string date = m_uploadClient->answer_header("Date");
  m_uploadClient.reset();
  host_.StopTimer(TIMER_UPLOAD);
  if (m_uploadWaitShown) host_.SetStatusText("");
  m_uploadWaitShown = false;
  m_lastUploadStatus = status;
  const bool accepted = LastUploadAccepted();
  host_.EnableStartButton(true);
  host_.EnableSendButton(!accepted);
  if (accepted) {
    host_.LogProgress(texts::kTextUploaded);
    if (IsReportIdText(reportId)) host_.LogProgress(StringPrintf(texts::kFormatReportId, reportId.c_str()));
    return;
  }
  int64_t retrySeconds = -1;
  if (status == 429 || status == 503) retrySeconds = RetryAfterSeconds(retryAfter, date, std::time(nullptr));
  host_.LogProgress(UploadFailedLine(status, retrySeconds));
}

}  // namespace zandrel
