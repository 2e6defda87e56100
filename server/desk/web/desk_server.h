// The desk's web side: what `zandrel-desk serve` answers. DeskHandler gives
// each request its meaning (sign-in, sessions, CSRF, the pages, the API, the
// audit log); DeskServer runs it on the server's HTTP stack.
//
// The thread that serves connections never waits on a database: a request
// is handed whole to a small pool of workers (and a sign-in, whose KDF is
// costly, to a pool of its own), and its answer is given out when the
// worker is done, so one slow query does not hold up the other users.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/desk/desk_db.h"
#include "server/http/exchange.h"
#include "server/http/http_server.h"
#include "server/http/limits.h"
#include "server/store/report_index.h"
#include "server/store/search_query.h"

namespace zandrel::desk::web {

inline constexpr char kSessionCookie[] = "zd_session";
inline constexpr char kLoginCookie[] = "zd_login";  // the sign-in form's token, before any session

inline constexpr int64_t kSessionIdleMs = 12ll * 3600 * 1000;
inline constexpr int kLoginFailureLimit = 5;
inline constexpr int64_t kLoginWindowMs = 15ll * 60 * 1000;
inline constexpr int64_t kLoginLockMs = 15ll * 60 * 1000;
inline constexpr std::size_t kMaxFormBytes = 8192;
inline constexpr int kAuditPage = 100;
inline constexpr int kCsvPage = 500;

// Fields every answer of the desk carries.
extern const char kSecurityFields[];

// The stack's deadlines and bounds as the desk uses them: its own answers
// (a refused head, 503 for want of room) carry the security fields too.
server::HttpLimits DeskLimits(bool quiet);

struct ServeOptions {
  std::string dataDir;    // the report server's data directory (read only)
  std::string indexPath;  // the index in it
  // A PostgreSQL store's URL; when given, reports are read there instead.
  std::string database;
  bool secureCookies = false;
  std::string timeZone;  // shown times; empty: the reader's own
  // Peers whose X-Forwarded-For names the client (its last entry).
  std::vector<store::Ipv4Range> trustedProxies;
  std::size_t queryThreads = 3;
  // The list page counts matches up to this many, then says "more than".
  int64_t countCap = store::IndexOptions{}.count_cap;
  // Dashboards of the same filters within this many ms share their figures.
  int64_t dashboardFreshMs = 10'000;
  // ms since 1970 UTC; null: the system's clock.
  std::function<int64_t()> clock;
  bool quiet = false;
};

class DeskHandler final : public server::RequestHandler {
 public:
  // db is shared with nobody else in the process; the handler owns it.
  DeskHandler(ServeOptions options, std::unique_ptr<DeskDb> db);
  ~DeskHandler();
  DeskHandler(const DeskHandler&) = delete;
  DeskHandler& operator=(const DeskHandler&) = delete;

  std::unique_ptr<server::Request> Open(const server::RequestHead& head, const server::Peer& peer,
                                        server::Responder& out, uint32_t nowMs) override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

class DeskServer {
 public:
  DeskServer(ServeOptions options, std::unique_ptr<DeskDb> db, server::HttpLimits limits);
  ~DeskServer();
  // Listens on addr:port (host order); false with a message when it cannot.
  bool Start(uint32_t addr, uint16_t port, std::string& error);
  void Poll();
  // Takes no more connections and lets answers under way finish, for at
  // most graceMs.
  void Shutdown(uint32_t graceMs);
  uint16_t port() const { return port_; }

 private:
  server::HttpLimits limits_;
  DeskHandler handler_;
  std::unique_ptr<server::HttpServer> http_;
  uint16_t port_ = 0;
};

}  // namespace zandrel::desk::web
