// The network checks of a detection run and the upload of its report,
// driven by window timers 1 to 5 on the UI thread: UDP answer wait, download
// speed test, local service check, channel check, and the upload. The dialog
// holds one sequencer and is its host (ICheckHost); the sequencer keeps the
// state of the checks (report, UDP tester, clients, counters) on the dialog's
// behalf, so the dialog owns it all and no other class edits it. Before the
// first timer, the detection worker writes the run's local part through it
// (ResetReport, AppendLine, LogAndAppend) and starts the UDP check; from the
// moment that arms timer 1, only the UI thread uses it.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "checks/check_host.h"
#include "checks/check_targets.h"
#include "checks/speed_meter.h"
#include "checks/test_udp.h"
#include "detect/report_buffer.h"
#include "http/file_log_client.h"
#include "http/http_downloader.h"
#include "net/interfaces.h"

namespace zandrel {

enum TimerId : int {
  TIMER_UDP_WAIT = 1,
  TIMER_UPLOAD = 2,
  TIMER_SPEED = 3,
  TIMER_SERVICE = 4,
  TIMER_CHANNEL = 5,
};

// Trims white space from both ends of a GBK text, stepping by whole characters.
std::string TrimGbk(const std::string& text);

class CCheckSequencer : public net::IRecvInter, public http::I_http_data_handler {
 public:
  static constexpr int32_t kReportCapacity = 102400;
  static constexpr int32_t kChannelReplyCapacity = 10240;
  static constexpr int32_t kUdpWaitLimit = 1000;
  static constexpr int32_t kSpeedTickLimit = 1000;
  static constexpr int32_t kSpeedRedirectLimit = 10;
  static constexpr int32_t kServiceTickLimit = 1000;
  static constexpr int32_t kChannelTickLimit = 1000;
  static constexpr uint32_t kUploadPeriodMs = 20;
  // An upload without an answer stays quiet for 10 s, then the status line
  // says what it waits for, renewed every 5 s.
  static constexpr int32_t kUploadQuietTicks = 500;
  static constexpr int32_t kUploadStatusEveryTicks = 250;
  // The answer header that carries the id of a stored report.
  static constexpr char kReportIdHeader[] = "X-Report-Id";

  // The most the results after the inventory (UDP, speed, service and
  // channel lines) can add to the report.
  static int32_t NetworkResultsMaxBytes();

  // The host must outlive the sequencer; neither constructor nor destructor calls it.
  CCheckSequencer(ICheckHost& host, CheckTargets targets);
  ~CCheckSequencer() override;
  CCheckSequencer(const CCheckSequencer&) = delete;
  CCheckSequencer& operator=(const CCheckSequencer&) = delete;

  // The dialog's initialisation: UDP answers come to this sequencer.
  void OnInitDialog();
  // Marks a run as going (from the start button to the end of the channel
  // check), or as abandoned before it began.
  void SetRunActive(bool active) { m_runActive = active; }
  // Empties the report and the channel reply for a new run.
  void ResetReport();
  // Sends the UDP probes and arms the wait for their answer; sleepMs pauses
  // the worker (during the name lookup and between the probes) and answers
  // false once the run is being cancelled.
  void StartUdpCheck(const std::function<bool(uint32_t)>& sleepMs);
  // Frees the buffers and the clients and closes the UDP tester (the dialog
  // has killed the timers); the sequencer is idle afterwards.
  void Release();

  void AppendLine(const std::string& text) { m_report.Append(text.c_str()); }
  void LogAndAppend(const std::string& text) {
    host_.LogProgress(text);
    m_report.Append(text.c_str());
  }

  // Window-timer message: one tick of the check that owns the timer.
  void OnTimer(int id);
  // The send button.
  void OnSendClicked();

  // Result paths and HTTP callbacks.
  void OnRecv(const char* data) override;
  void i_onHttpLength(uint64_t) override {}
  void i_onHttpData(const char* data, int32_t len) override;
  void i_onHttpFinished() override;

  const CReportBuffer& Report() const { return m_report; }
  const CReportBuffer& ChannelReply() const { return m_channelReply; }
  const CSpeedMeter& SpeedMeter() const { return m_speedMeter; }
  bool RunActive() const { return m_runActive; }
  bool UploadActive() const { return m_uploadClient != nullptr; }
  // How the last upload ended: kUploadNotEnded while none has ended since the
  // send button, kUploadNoAnswer when no answer came, else the answer's
  // status code.
  enum UploadEnd : int32_t { kUploadNotEnded = -1, kUploadNoAnswer = 0 };
  int32_t LastUploadStatus() const { return m_lastUploadStatus; }
  bool LastUploadAccepted() const { return m_lastUploadStatus >= 200 && m_lastUploadStatus < 300; }
  // True while the speed test holds a downloader (and so maybe a connection).
  bool SpeedDownloadHeld() const { return m_speedDownloader != nullptr; }
  const CheckTargets& Targets() const { return targets_; }

 private:
  void UdpWaitTick();
  void StartSpeedTest();
  void SpeedTick();
  void FinishSpeedTest();
  // Ends the test with the figure of a server that could not be reached.
  void GiveUpSpeedTest();
  bool SpeedBodyCounts() const;
  void FollowSpeedRedirect(const std::string& target);
  void StartServiceCheck();
  void ServiceCheckSucceeded();
  void ServiceCheckTimedOut();
  void StartChannelCheck();
  void ChannelCheckSucceeded();
  void ChannelCheckTimedOut();
  void CreateUploadClient();
  void UploadTick();
  void FinishUpload();
  void ShowUploadWait();
  void ReleaseClients();

  ICheckHost& host_;
  CheckTargets targets_;
  CTestUDP m_udpTest;
  int32_t m_udpWaitTicks = 0;
  CReportBuffer m_report{kReportCapacity};
  CReportBuffer m_channelReply{kChannelReplyCapacity};
  std::unique_ptr<http::C_file_log_client> m_uploadClient;
  std::unique_ptr<http::C_http_downloader> m_speedDownloader;
  std::unique_ptr<http::C_http_downloader> m_serviceDownloader;
  std::unique_ptr<http::C_http_downloader> m_channelDownloader;
  CSpeedMeter m_speedMeter;
  int32_t m_speedShowTicks = 0;
  int32_t m_speedTicks = 0;
  int32_t m_serviceTicks = 0;
  bool m_serviceCheckActive = false;
  bool m_channelCheckActive = false;
  int32_t m_channelTicks = 0;
  uint32_t m_speedFirstDataTick = 0;
  bool m_speedRunning = false;      // from StartSpeedTest to FinishSpeedTest
  int32_t m_speedRedirects = 0;     // redirects followed since StartSpeedTest
  std::string m_speedRedirectDone;  // target of a 3xx that completed within the step
  bool m_runActive = false;  // from the start button to the end of the channel check
  int32_t m_uploadTicks = 0;        // timer-2 steps of the running upload
  bool m_uploadWaitShown = false;   // the status line tells of the upload's wait
  int32_t m_lastUploadStatus = kUploadNotEnded;
};

}  // namespace zandrel
