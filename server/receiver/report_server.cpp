#include "server/receiver/report_server.h"

#include "platform/clock.h"
#include "platform/files.h"
#include "server/common/log.h"
#ifdef ZANDREL_HAVE_PG
#include "server/store/pg/pg_store.h"
#endif

namespace zandrel::server {

namespace {

std::unique_ptr<store::ReportIntake> DatabaseIntake(const ServerOptions& opt) {
  if (opt.database.empty()) return nullptr;
#ifdef ZANDREL_HAVE_PG
  store::pg::PgStoreOptions po;
  po.url = opt.database;
  po.reportsPerMinute = opt.reportsPerMinute;
  po.keepDays = opt.keepDays;
  po.quiet = opt.quiet;
  return std::make_unique<store::pg::PgStore>(po);
#else
  return nullptr;
#endif
}

}  // namespace

ReportServer::ReportServer(ServerOptions options)
    : opt_(std::move(options)), limits_(opt_.http()), store_(opt_.store()), database_(DatabaseIntake(opt_)),
      embedded_(store::EmbeddedIntake(store_)), intake_(database_ ? database_.get() : embedded_.get()),
      receiver_(opt_, *intake_) {}

// The connections go before the store they may still be storing into.
ReportServer::~ReportServer() { http_.reset(); }

bool ReportServer::Start(std::string& error) {
  if (!opt_.database.empty()) {
    if (!StartDatabase(error)) return false;
  } else if (!StartEmbedded(error)) {
    return false;
  }
  return Listen(error);
}

bool ReportServer::StartDatabase(std::string& error) {
#ifdef ZANDREL_HAVE_PG
  auto& pg = static_cast<store::pg::PgStore&>(*database_);
  if (!pg.Open(error)) return false;
  if (!pg.Start()) {
    error = "cannot start the thread that stores reports";
    return false;
  }
  return true;
#else
  error = "this build stores reports in files only; it has no PostgreSQL store";
  return false;
#endif
}

bool ReportServer::StartEmbedded(std::string& error) {
  if (!store_.Open(error)) return false;
  if (opt_.index) {
    store::IndexKeeperOptions ko;
    ko.dataDir = opt_.dataDir;
    ko.keepDays = opt_.keepDays;
    ko.quiet = opt_.quiet;
    ko.released = [counter = store_.released()](uint64_t bytes) { *counter += bytes; };
    std::string why;
    index_ = store::OpenIndexKeeper(ko, why);
    if (!index_) LogLine(opt_.quiet, "reports are stored without an index: %s", why.c_str());
  }
  store::StoreWorker::AfterBatch indexBatch;
  if (index_) {
    // Rows are written once the batch is durable and before it is answered;
    // the files are read back while the batch before is being written.
    indexBatch = [keeper = index_](const std::vector<store::StoreWorker::Done>& done) -> std::function<void()> {
      std::vector<std::string> names;
      for (const auto& d : done) {
        if (d.ok && !d.name.empty()) names.push_back(d.name);
      }
      if (names.empty()) return {};
      auto records = std::make_shared<std::vector<store::ReportRecord>>(keeper->Read(names));
      return [keeper, records] { keeper->Stored(*records); };
    };
  }
  if (!store_.StartWorker(std::move(indexBatch)) || (index_ && !index_->Start())) {
    error = "cannot start the thread that stores reports";
    return false;
  }
  return true;
}

bool ReportServer::Listen(std::string& error) {
  platform::RaiseOpenFileLimit();
  http_ = std::make_unique<HttpServer>(limits_, receiver_);
  httpPort_ = http_->Listen(opt_.bindAddr, opt_.httpPort, kMainListener);
  if (!httpPort_) {
    error = "cannot listen on TCP port " + std::to_string(opt_.httpPort);
    return false;
  }
  udp_ = net::create_udp_engine();
  udpSocket_ = udp_->udp_open_on(opt_.bindAddr, opt_.udpPort, this);
  if (!udpSocket_) {
    error = "cannot bind UDP port " + std::to_string(opt_.udpPort);
    return false;
  }
  udpPort_ = udp_->local_port(udpSocket_);
  if (opt_.hintPort && !http_->Listen(opt_.bindAddr, opt_.hintPort, kHintListener)) {
    LogLine(opt_.quiet, "hint page is not served on port %u (the port cannot be bound)", opt_.hintPort);
  }
  // Another receiver on the usual ports, or a datagram claiming to be from
  // ourselves, is never answered.
  echo_.SetOwnPorts({udpPort_, httpPort_, opt_.hintPort, opt_.udpPort, opt_.httpPort});
  if (database_) {
    LogLine(opt_.quiet, "serving HTTP on port %u, UDP on port %u, reports in the database", httpPort_, udpPort_);
  } else {
    LogLine(opt_.quiet, "serving HTTP on port %u, UDP on port %u, reports in %s%s", httpPort_, udpPort_,
            opt_.dataDir.c_str(), index_ ? " (indexed)" : "");
  }
  return true;
}

void ReportServer::Poll() {
  http_->Poll();
  udp_->udp_loop_drain(kUdpPerPass, kUdpPassMs);
  LogHeldBack(opt_.quiet);
}

void ReportServer::Shutdown(uint32_t graceMs) {
  http_->StopAccepting();
  uint32_t start = platform::TickCount();
  while ((intake_->storing() > 0 || http_->connections() > 0) && platform::TickCount() - start < graceMs) Poll();
}

void ReportServer::i_onRecv(uint32_t addr, uint16_t port, const char* data, int32_t len) {
  if (len < 0) return;
  if (echo_.ShouldAnswer(addr, port, std::string_view(data, static_cast<std::size_t>(len)), platform::TickCount())) {
    udp_->udp_send(udpSocket_, data, len, addr, port);
  }
}

}  // namespace zandrel::server
