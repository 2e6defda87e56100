#include "server/desk/web/desk_server.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <variant>

#include "platform/clock.h"
#include "platform/files.h"
#include "server/common/log.h"
#include "server/desk/desk.h"
#include "server/desk/record_text.h"
#include "server/desk/secrets.h"
#include "server/desk/web/dashboard_memo.h"
#include "server/desk/web/pages.h"
#include "server/desk/web/query_string.h"
#include "server/desk/web/worker_pool.h"
#include "server/store/report_id.h"
#include "server/store/report_index.h"

namespace zandrel::desk::web {

const char kSecurityFields[] =
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "form-action 'self'; base-uri 'none'; frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "X-Frame-Options: DENY\r\n";

namespace {

constexpr char kHtml[] = "text/html; charset=utf-8";
constexpr char kJson[] = "application/json";
constexpr char kNoStore[] = "Cache-Control: no-store\r\n";
// Spans of at most this long are charted per hour.
constexpr int64_t kHourlySpanMs = 3ll * 24 * 3600 * 1000;
// A dashboard without a start covers this long before its end.
constexpr int64_t kDefaultDashboardMs = 30ll * 24 * 3600 * 1000;
// A CSV export keeps at most this much ready ahead of the reader.
constexpr std::size_t kCsvAhead = 1 << 20;

int64_t SystemNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

class CsvStream;

namespace {

// What a worker answers.
struct Answer {
  int code = 500;
  const char* reason = "Internal Server Error";
  std::string body;
  std::string fields;  // besides the security fields
  std::string type = kHtml;
  std::string streamHead;  // with stream: a streamed answer
  std::shared_ptr<CsvStream> stream;
};

// A request as the workers see it: everything they need, copied.
struct Call {
  std::string method, path, query, body;
  std::string cookie, authorization, acceptLanguage;
  std::string client;  // the client's address, as text
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The value of a cookie in a Cookie field; empty when absent.
std::string CookieValue(std::string_view field, std::string_view name) {
  while (!field.empty()) {
    std::size_t semi = field.find(';');
    std::string_view pair = Trim(field.substr(0, semi));
    std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos && pair.substr(0, eq) == name) return std::string(pair.substr(eq + 1));
    if (semi == std::string_view::npos) break;
    field.remove_prefix(semi + 1);
  }
  return {};
}

std::string BearerToken(std::string_view field) {
  field = Trim(field);
  if (field.size() < 7 || !server::SameIgnoringCase(field.substr(0, 7), "Bearer ")) return {};
  return std::string(Trim(field.substr(7)));
}

bool InBlocks(uint32_t addr, const std::vector<store::Ipv4Range>& blocks) {
  return std::any_of(blocks.begin(), blocks.end(), [&](const auto& b) { return addr >= b.first && addr <= b.last; });
}

// The canonical id of a path segment that is a report id; nullopt for
// anything else (an id is letters, digits and one hyphen, nothing encoded).
std::optional<std::string> ReportIdOf(std::string_view segment) {
  if (segment.empty() || segment.size() > 9) return std::nullopt;
  for (char c : segment) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-')) return std::nullopt;
  }
  auto id = store::ParseReportId(segment);
  if (!id) return std::nullopt;
  return store::ReportIdText(*id);
}

std::string SetCookie(const char* name, const std::string& value, const char* path, bool secure, bool clear) {
  std::string out = std::string("Set-Cookie: ") + name + "=" + value + "; Path=" + path + "; HttpOnly; SameSite=Strict";
  if (secure) out += "; Secure";
  if (clear) out += "; Max-Age=0";
  return out + "\r\n";
}

// The search parameters of a query string: empty values dropped (an empty
// form field is no filter), a repeated "failed" joined into one list.
store::SearchParams SearchParamsOf(const Params& params) {
  store::SearchParams out;
  std::string failed;
  bool anyFailed = false;
  for (const auto& [name, value] : params) {
    if (value.empty()) continue;
    if (name == "failed") {
      failed += (anyFailed ? "," : "") + value;
      anyFailed = true;
      continue;
    }
    out.emplace_back(name, value);
  }
  if (anyFailed) out.emplace_back("failed", failed);
  return out;
}

// A CSV cell: quoted when it holds a separator, a quote or a line end; a
// text a spreadsheet would take for a formula starts with a quote mark.
std::string CsvCell(std::string_view text) {
  std::string cell;
  if (!text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@' || text[0] == '\t' ||
                        text[0] == '\r')) {
    cell += '\'';
  }
  cell += text;
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char c : cell) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string Tristate(const std::optional<bool>& b) { return b ? (*b ? "ok" : "failed") : ""; }

std::string CsvRow(const store::SearchHit& hit) {
  const store::ReportRecord& r = hit.record;
  const report::ReportFacts& f = r.facts;
  std::vector<std::string> cells = {
      r.id,
      Rfc3339Ms(r.received),
      DottedIpv4(r.sender),
      std::to_string(r.size),
      r.md5,
      TerminalSafe(f.problem.value_or(""), false),
      Tristate(f.udp_ok),
      f.speed_kbps ? std::to_string(*f.speed_kbps) : "",
      Tristate(f.service_ok),
      Tristate(f.channels_ok),
      f.cpu_percent ? std::to_string(*f.cpu_percent) : "",
      f.free_bytes ? std::to_string(*f.free_bytes) : "",
      std::to_string(f.adapters.size()),
      std::to_string(hit.module_count),
  };
  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i) line += ',';
    line += CsvCell(cells[i]);
  }
  return line + "\r\n";
}

constexpr char kCsvHeader[] =
    "id,received,sender,size,md5,problem,udp,speed_kbps,service,channels,cpu_percent,free_bytes,adapters,modules\r\n";

std::string Chunk(const std::string& data) {
  char size[24];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return size + data + "\r\n";
}

// Open readers of the store, one per worker at work, so that queries run
// side by side. A reader whose call failed is closed rather than kept (its
// connection may be what failed); the next call opens another.
class ReaderPool {
 public:
  explicit ReaderPool(const ServeOptions& options) {
    desk_.dataDir = options.dataDir;
    desk_.database = options.database;
    setup_.indexPath = options.indexPath;
    setup_.index.cache_kib = 4 * 1024;
    setup_.index.busy_timeout_ms = 2000;
    setup_.index.count_cap = options.countCap;
    setup_.missing = "there is no index at " + options.indexPath;
  }

  std::unique_ptr<store::ReportReader> Take(std::string& error) {
    {
      std::lock_guard lock(mutex_);
      if (!free_.empty()) {
        auto reader = std::move(free_.back());
        free_.pop_back();
        return reader;
      }
    }
    return OpenReader(desk_, error, setup_);
  }

  void Give(std::unique_ptr<store::ReportReader> reader) {
    std::lock_guard lock(mutex_);
    free_.push_back(std::move(reader));
  }

 private:
  DeskOptions desk_;
  ReaderSetup setup_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<store::ReportReader>> free_;
};

class ReaderLease {
 public:
  ReaderLease(ReaderPool& pool, std::string& error) : pool_(pool), reader_(pool.Take(error)) {}
  ~ReaderLease() {
    if (reader_ && !failed_) pool_.Give(std::move(reader_));
  }
  ReaderLease(const ReaderLease&) = delete;
  ReaderLease& operator=(const ReaderLease&) = delete;
  store::ReportReader* operator->() { return reader_.get(); }
  explicit operator bool() const { return reader_ != nullptr; }
  // The status of a call, noting a failure so the reader is not kept.
  store::IndexStatus Note(store::IndexStatus s) {
    if (!s) failed_ = true;
    return s;
  }

 private:
  ReaderPool& pool_;
  std::unique_ptr<store::ReportReader> reader_;
  bool failed_ = false;
};

}  // namespace

// A CSV export made page by page on the workers, kept at most kCsvAhead
// ahead of the reader, sent as chunks.
class CsvStream : public std::enable_shared_from_this<CsvStream> {
 public:
  CsvStream(ReaderPool& readers, WorkerPool& pool, store::SearchQuery query, bool quiet)
      : readers_(readers), pool_(pool), query_(std::move(query)), quiet_(quiet) {
    query_.limit = kCsvPage;
  }

  // Starts with what is already made (the first page, the header).
  void Start(std::string first, std::optional<int64_t> cursor) {
    std::lock_guard lock(mutex_);
    Push(Chunk(first));
    query_.cursor = cursor;
    if (!cursor) {
      Push("0\r\n\r\n");
      finished_ = true;
      return;
    }
    running_ = true;
    pool_.Submit([self = shared_from_this()] { self->Fill(); });
  }

  // Bytes ready, or 1 while more is to come.
  uint64_t Left() {
    std::lock_guard lock(mutex_);
    return ready_ ? ready_ : finished_ ? 0 : 1;
  }

  std::size_t Take(char* out, std::size_t max) {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    while (n < max && !chunks_.empty()) {
      std::string& front = chunks_.front();
      std::size_t k = std::min(max - n, front.size() - offset_);
      std::copy_n(front.data() + offset_, k, out + n);
      n += k;
      offset_ += k;
      if (offset_ == front.size()) {
        chunks_.pop_front();
        offset_ = 0;
      }
    }
    ready_ -= n;
    if (!finished_ && !running_ && !cancelled_ && ready_ < kCsvAhead / 2) {
      running_ = true;
      pool_.Submit([self = shared_from_this()] { self->Fill(); });
    }
    return n;
  }

  void Cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }

 private:
  void Push(std::string data) {
    ready_ += data.size();
    chunks_.push_back(std::move(data));
  }

  // Makes pages until enough is ready ahead, the last page or a failure.
  void Fill() {
    while (true) {
      store::SearchQuery query;
      {
        std::lock_guard lock(mutex_);
        if (cancelled_ || finished_ || ready_ >= kCsvAhead) {
          running_ = false;
          return;
        }
        query = query_;
      }
      std::string error;
      store::SearchPage page;
      bool ok = false;
      {
        ReaderLease reader(readers_, error);
        if (reader) {
          auto s = reader.Note(reader->Search(query, page, false));
          ok = s.ok;
          if (!ok) error = s.message;
        }
      }
      std::string text;
      for (const auto& hit : page.hits) text += CsvRow(hit);
      std::lock_guard lock(mutex_);
      if (!ok) {
        // The reader sees a body cut short: no closing chunk.
        server::LogLine(quiet_, "a CSV export stopped: %s", error.c_str());
        running_ = false;
        finished_ = true;
        return;
      }
      if (!text.empty()) Push(Chunk(text));
      query_.cursor = store::ParseCursor(page.next_cursor);
      if (page.next_cursor.empty() || !query_.cursor) {
        Push("0\r\n\r\n");
        finished_ = true;
        running_ = false;
        return;
      }
    }
  }

  ReaderPool& readers_;
  WorkerPool& pool_;
  store::SearchQuery query_;
  bool quiet_;
  std::mutex mutex_;
  std::deque<std::string> chunks_;
  std::size_t offset_ = 0;
  uint64_t ready_ = 0;
  bool finished_ = false, running_ = false, cancelled_ = false;
};

namespace {

// Filled by a worker; the request hands it out from the serving thread.
struct Pending {
  std::atomic<bool> done{false};
  Answer answer;
};

}  // namespace

struct DeskHandler::Impl {
  ServeOptions options;
  std::unique_ptr<DeskDb> db;
  ReaderPool readers;
  std::once_flag dummyOnce;
  std::string dummyHash;  // verified for unknown names, so that they take as long
  DashboardMemo dashboards;
  // Last: their threads stop before what they use goes.
  WorkerPool queries;
  WorkerPool logins;

  Impl(ServeOptions o, std::unique_ptr<DeskDb> d)
      : options(std::move(o)), db(std::move(d)), readers(options),
        dashboards(options.dashboardFreshMs, [this] { return Now(); }),
        queries(std::max<std::size_t>(options.queryThreads, 1)), logins(1) {}

  int64_t Now() const { return options.clock ? options.clock() : SystemNowMs(); }

  // --- answers -----------------------------------------------------------

  Answer Page(int code, const char* reason, std::string body, std::string fields = {}) {
    Answer a;
    a.code = code;
    a.reason = reason;
    a.body = std::move(body);
    a.fields = kNoStore + fields;
    return a;
  }

  Answer Json(int code, const char* reason, const nlohmann::ordered_json& value, std::string fields = {}) {
    Answer a;
    a.code = code;
    a.reason = reason;
    a.body = JsonLine(value);
    a.type = kJson;
    a.fields = kNoStore + fields;
    return a;
  }

  // 303 after a form was posted; 302 for a page asked for without a session.
  Answer Redirect(const char* location, std::string fields = {}, bool found = false) {
    Answer a;
    a.code = found ? 302 : 303;
    a.reason = found ? "Found" : "See Other";
    a.type = "text/plain";
    a.fields = std::string(kNoStore) + "Location: " + location + "\r\n" + fields;
    return a;
  }

  Answer Error(const PageContext& context, int code, const char* reason, std::string_view message) {
    return Page(code, reason, ErrorPage(context, code, message));
  }

  Answer ApiError(int code, const char* reason, const std::string& message, std::string fields = {}) {
    return Json(code, reason, {{"error", message}}, std::move(fields));
  }

  void Audit(const std::string& who, const Call& call, const char* action, const std::string& detail) {
    AuditRecord r;
    r.at_ms = Now();
    r.user = who;
    r.from = call.client;
    r.action = action;
    r.detail = detail.substr(0, 1024);
    std::string error;
    if (!db->Audit(r, error)) server::LogLine(options.quiet, "audit: %s", error.c_str());
  }

  // --- who is asking -------------------------------------------------------

  struct Who {
    std::string name;  // empty: nobody signed in
    std::string csrf;  // the session's form token (none for an API token)
    std::string sessionHash;
    bool token = false;
    bool failed = false;  // the database could not tell
  };

  Who Identify(const Call& call, bool tokenAllowed) {
    Who who;
    std::string error;
    std::string session = CookieValue(call.cookie, kSessionCookie);
    if (!session.empty() && session.size() <= 128) {
      std::optional<SessionInfo> found;
      std::string hash = Sha256Hex(session);
      if (!db->FindSession(hash, Now(), kSessionIdleMs, found, error)) {
        server::LogLine(options.quiet, "sessions: %s", error.c_str());
        who.failed = true;
      } else if (found) {
        who.name = found->user;
        who.csrf = found->csrf;
        who.sessionHash = hash;
        return who;
      }
    }
    std::string token = tokenAllowed ? BearerToken(call.authorization) : std::string();
    if (!token.empty() && token.size() <= 128) {
      std::optional<std::string> name;
      if (!db->TokenName(Sha256Hex(token), name, error)) {
        server::LogLine(options.quiet, "tokens: %s", error.c_str());
        who.failed = true;
      } else if (name) {
        who.name = "token:" + *name;
        who.token = true;
      }
    }
    return who;
  }

  PageContext Context(const Call& call, const Who& who) {
    PageContext c;
    c.lang = PickLang(call.acceptLanguage.empty() ? nullptr : &call.acceptLanguage);
    c.user = who.name;
    c.csrf = who.csrf;
    c.timeZone = options.timeZone;
    return c;
  }

  // --- the work of one request, on a worker --------------------------------

  Answer Handle(const Call& call) {
    try {
      return Route(call);
    } catch (const std::exception& e) {
      server::LogLine(options.quiet, "%s %s: %s", call.method.c_str(), server::QuoteForLog(call.path).c_str(),
                      e.what());
      PageContext c;
      return Error(c, 500, "Internal Server Error", "");
    }
  }

  Answer Route(const Call& call) {
    const std::string& path = call.path;
    if (path == "/login") return call.method == "POST" ? Login(call) : LoginForm(call, false, false, 200);
    bool api = path.rfind("/api/", 0) == 0;
    Who who = Identify(call, api);
    PageContext context = Context(call, who);
    if (who.name.empty()) {
      if (who.failed) {
        return api ? ApiError(503, "Service Unavailable", "the desk's database cannot be read")
                   : Error(context, 503, "Service Unavailable", "");
      }
      return api ? ApiError(401, "Unauthorized", "sign in or give a token", "WWW-Authenticate: Bearer\r\n")
                 : Redirect("/login", {}, call.method != "POST");
    }
    if (call.method == "POST") {
      auto form = ParseQueryString(call.body);
      const std::string* csrf = form ? FindParam(*form, "csrf") : nullptr;
      if (who.token || !csrf || who.csrf.empty() || !SameSecret(*csrf, who.csrf)) {
        return Error(context, 403, "Forbidden", "");
      }
      if (path == "/logout") return Logout(call, who);
      return Error(context, 404, "Not Found", "");
    }
    auto params = ParseQueryString(call.query);
    if (api) return Api(call, who, params);
    if (path == "/") return List(call, context, params);
    if (path == "/dashboard") return Dashboard(call, context, params);
    if (path == "/audit") return AuditLog(context, params);
    static constexpr std::string_view kReports = "/reports/";
    if (path.rfind(kReports, 0) == 0) {
      std::string_view rest = std::string_view(path).substr(kReports.size());
      bool raw = false;
      if (rest.size() > 4 && rest.substr(rest.size() - 4) == "/raw") {
        raw = true;
        rest.remove_suffix(4);
      }
      if (auto id = ReportIdOf(rest)) return raw ? Raw(call, who, context, *id) : Report(call, who, context, *id);
    }
    return Error(context, 404, "Not Found", "");
  }

  Answer LoginForm(const Call& call, bool failed, bool tooMany, int code, const std::string& name = {}) {
    PageContext context = Context(call, Who{});
    // The token the browser holds already, when it holds one: a request of
    // the page's own (the icon the browser asks for unasked) redirected here
    // must not replace the token of the form on the screen.
    std::string held = CookieValue(call.cookie, kLoginCookie);
    bool wellFormed = held.size() == 32 && held.find_first_not_of("0123456789abcdef") == std::string::npos;
    context.csrf = wellFormed ? held : RandomHex(16);
    const char* reason = code == 200 ? "OK" : code == 401 ? "Unauthorized" : code == 429 ? "Too Many Requests" : "Error";
    std::string fields = SetCookie(kLoginCookie, context.csrf, "/login", options.secureCookies, false);
    if (code == 429) fields += "Retry-After: " + std::to_string(kLoginLockMs / 1000) + "\r\n";
    return Page(code, reason, LoginPage(context, name, failed, tooMany), fields);
  }

  Answer Login(const Call& call) {
    auto form = ParseQueryString(call.body);
    const std::string* csrf = form ? FindParam(*form, "csrf") : nullptr;
    std::string expected = CookieValue(call.cookie, kLoginCookie);
    if (!csrf || expected.empty() || !SameSecret(*csrf, expected)) {
      return Error(Context(call, Who{}), 403, "Forbidden", "");
    }
    const std::string* user = FindParam(*form, "user");
    const std::string* password = FindParam(*form, "password");
    std::string name = user ? user->substr(0, 64) : std::string();
    std::string userKey = "user:" + name, addrKey = "addr:" + call.client;
    std::string error;
    bool userLocked = false, addrLocked = false;
    int64_t now = Now();
    if (!db->Locked(userKey, now, userLocked, error) || !db->Locked(addrKey, now, addrLocked, error)) {
      server::LogLine(options.quiet, "login: %s", error.c_str());
      return Error(Context(call, Who{}), 503, "Service Unavailable", "");
    }
    if (userLocked || addrLocked) {
      Audit("", call, "login_refused", name);
      return LoginForm(call, false, true, 429, name);
    }
    std::optional<std::string> hash;
    if (!db->PasswordHash(name, hash, error)) {
      server::LogLine(options.quiet, "login: %s", error.c_str());
      return Error(Context(call, Who{}), 503, "Service Unavailable", "");
    }
    std::call_once(dummyOnce, [this] { dummyHash = HashPassword("an unknown user's password").value_or(""); });
    bool good = VerifyPassword(password ? *password : std::string(), hash ? *hash : dummyHash) && hash && password;
    now = Now();
    if (!good) {
      if (!db->RecordFailure(userKey, now, kLoginWindowMs, kLoginFailureLimit, kLoginLockMs, error) ||
          !db->RecordFailure(addrKey, now, kLoginWindowMs, kLoginFailureLimit, kLoginLockMs, error)) {
        server::LogLine(options.quiet, "login: %s", error.c_str());
      }
      Audit("", call, "login_failed", name);
      return LoginForm(call, true, false, 401, name);
    }
    std::string id = RandomHex(16), token = RandomHex(16);
    if (id.empty() || token.empty() || !db->CreateSession(Sha256Hex(id), name, token, now, error)) {
      server::LogLine(options.quiet, "login: %s", error.c_str());
      return Error(Context(call, Who{}), 503, "Service Unavailable", "");
    }
    db->ClearFailures(userKey, error);
    Audit(name, call, "login", "");
    return Redirect("/", SetCookie(kSessionCookie, id, "/", options.secureCookies, false) +
                             SetCookie(kLoginCookie, "", "/login", options.secureCookies, true));
  }

  Answer Logout(const Call& call, const Who& who) {
    std::string error;
    if (!db->EndSession(who.sessionHash, error)) server::LogLine(options.quiet, "logout: %s", error.c_str());
    Audit(who.name, call, "logout", "");
    return Redirect("/login", SetCookie(kSessionCookie, "", "/", options.secureCookies, true));
  }

  // The query of a list, dashboard or export; an error message for people
  // when it cannot be had.
  std::variant<store::SearchQuery, std::string> Query(const std::optional<Params>& params) {
    if (!params) return std::string("the address holds a value that cannot be read");
    auto parsed = store::ParseSearchQuery(SearchParamsOf(*params));
    if (auto* e = std::get_if<store::QueryError>(&parsed)) return e->parameter + ": " + e->message;
    return std::get<store::SearchQuery>(parsed);
  }

  Answer List(const Call& call, const PageContext& context, const std::optional<Params>& params) {
    (void)call;
    Params filters = params.value_or(Params{});
    store::SearchPage page;
    auto query = Query(params);
    if (auto* message = std::get_if<std::string>(&query)) return Page(200, "OK", ListPage(context, filters, page, *message));
    std::string error;
    ReaderLease reader(readers, error);
    if (reader) {
      // A common filter's exact count would cost more than the page: past
      // the store's cap the page says "more than".
      auto s = reader.Note(reader->Search(std::get<store::SearchQuery>(query), page, true, true));
      if (!s) error = s.message;
    }
    if (!error.empty()) {
      server::LogLine(options.quiet, "list: %s", error.c_str());
      page = {};
      return Page(503, "Service Unavailable", ListPage(context, filters, page, IndexUnavailable(context)));
    }
    return Page(200, "OK", ListPage(context, filters, page, ""));
  }

  static const char* IndexUnavailable(const PageContext& context) {
    return context.lang == Lang::kEn ? "the reports cannot be read now; try again soon" : "暂时无法读取报告，请稍后再试";
  }

  Answer Dashboard(const Call& call, const PageContext& context, const std::optional<Params>& params) {
    Params filters = params.value_or(Params{});
    auto parsed = Query(params);
    if (auto* message = std::get_if<std::string>(&parsed)) {
      return Page(200, "OK", DashboardPage(context, filters, DashboardData{}, *message));
    }
    store::SearchQuery query = std::get<store::SearchQuery>(parsed);
    const int64_t now = Now();
    int64_t end = query.to_ms.value_or(now);
    if (!query.from_ms) query.from_ms = end - kDefaultDashboardMs;
    const store::TimeBucket bucket =
        end - *query.from_ms <= kHourlySpanMs ? store::TimeBucket::kHour : store::TimeBucket::kDay;
    // Figures for the same filters made a little earlier, or being made, are
    // shared: at most dashboardFreshMs old, and the page says when they were made.
    std::string error;
    auto figures = dashboards.Get(call.query, now, [&](std::string& why) -> std::optional<DashboardData> {
      DashboardData data;
      data.bucket = bucket;
      ReaderLease reader(readers, why);
      if (!reader) return std::nullopt;
      // Every matching report is in one day of the failures per day: they
      // give the total and, by day, the counts without another pass.
      store::IndexStatus s = reader->FailuresPerDay(query, data.failures);
      if (s && data.bucket == store::TimeBucket::kHour) {
        s = reader->CountsPer(query, data.bucket, data.counts);
      } else {
        for (const auto& day : data.failures) data.counts.push_back({day.day_ms, day.reports});
      }
      data.total = 0;
      for (const auto& day : data.failures) data.total += day.reports;
      if (s) s = reader->SpeedHistogram(query, data.speeds);
      if (s) s = reader->OverRepresentedModules(query, 20, 3, data.modules);
      if (!reader.Note(s)) {
        why = s.message;
        return std::nullopt;
      }
      return data;
    }, error);
    if (!figures) {
      server::LogLine(options.quiet, "dashboard: %s", error.c_str());
      return Page(503, "Service Unavailable", DashboardPage(context, filters, DashboardData{}, IndexUnavailable(context)));
    }
    return Page(200, "OK", DashboardPage(context, filters, *figures, ""));
  }

  Answer AuditLog(const PageContext& context, const std::optional<Params>& params) {
    int64_t before = 0;
    const std::string* cursor = params ? FindParam(*params, "cursor") : nullptr;
    if (cursor && !cursor->empty()) {
      auto r = std::from_chars(cursor->data(), cursor->data() + cursor->size(), before);
      if (r.ec != std::errc() || r.ptr != cursor->data() + cursor->size() || before <= 0) {
        return Error(context, 400, "Bad Request", "cursor");
      }
    }
    std::vector<AuditRecord> records;
    std::string error;
    if (!db->ReadAudit(before, kAuditPage + 1, records, error)) {
      server::LogLine(options.quiet, "audit: %s", error.c_str());
      return Error(context, 503, "Service Unavailable", "");
    }
    std::string next;
    if (records.size() > static_cast<std::size_t>(kAuditPage)) {
      records.pop_back();
      next = std::to_string(records.back().id);
    }
    std::vector<AuditEntry> entries;
    for (const AuditRecord& r : records) entries.push_back({r.at_ms, r.user, r.from, r.action, r.detail});
    return Page(200, "OK", AuditPage(context, entries, next));
  }

  // The record of id; nullopt with an answer when it cannot be shown.
  std::optional<store::ReportRecord> Record(const PageContext& context, const std::string& id, bool api, Answer& answer) {
    std::string error;
    std::optional<store::ReportRecord> record;
    ReaderLease reader(readers, error);
    if (reader) {
      if (auto s = reader.Note(reader->Get(id, record)); !s) error = s.message;
    }
    if (!error.empty()) {
      server::LogLine(options.quiet, "report %s: %s", id.c_str(), error.c_str());
      answer = api ? ApiError(503, "Service Unavailable", "the index cannot be read now")
                   : Error(context, 503, "Service Unavailable", IndexUnavailable(context));
      return std::nullopt;
    }
    if (!record) {
      answer = api ? ApiError(404, "Not Found", "no such report") : Error(context, 404, "Not Found", "");
    }
    return record;
  }

  Answer Report(const Call& call, const Who& who, const PageContext& context, const std::string& id) {
    Answer answer;
    auto record = Record(context, id, false, answer);
    if (!record) return answer;
    Audit(who.name, call, "report", id);
    return Page(200, "OK", ReportPage(context, *record));
  }

  Answer Raw(const Call& call, const Who& who, const PageContext& context, const std::string& id) {
    std::string error;
    std::optional<std::string> body;
    {
      ReaderLease reader(readers, error);
      if (reader) {
        if (auto s = reader.Note(reader->Body(id, body)); !s) error = s.message;
      }
    }
    if (!error.empty()) {
      server::LogLine(options.quiet, "report %s: %s", id.c_str(), error.c_str());
      return Error(context, 503, "Service Unavailable", IndexUnavailable(context));
    }
    if (!body) return Error(context, 404, "Not Found", "");
    Audit(who.name, call, "raw", id);
    Answer answer;
    answer.code = 200;
    answer.reason = "OK";
    answer.body = std::move(*body);
    answer.type = "text/plain; charset=GBK";
    answer.fields = std::string(kNoStore) + "Content-Disposition: attachment; filename=\"" + id + ".txt\"\r\n";
    return answer;
  }

  Answer Api(const Call& call, const Who& who, const std::optional<Params>& params) {
    PageContext context;
    if (call.path == "/api/reports" || call.path == "/api/reports.csv") {
      auto parsed = Query(params);
      if (auto* message = std::get_if<std::string>(&parsed)) return ApiError(400, "Bad Request", *message);
      store::SearchQuery query = std::get<store::SearchQuery>(parsed);
      bool csv = call.path == "/api/reports.csv";
      if (csv) query.limit = kCsvPage;
      store::SearchPage page;
      std::string error;
      {
        ReaderLease reader(readers, error);
        if (reader) {
          if (auto s = reader.Note(reader->Search(query, page, !csv)); !s) error = s.message;
        }
      }
      if (!error.empty()) {
        server::LogLine(options.quiet, "api: %s", error.c_str());
        return ApiError(503, "Service Unavailable", "the index cannot be read now");
      }
      std::string detail = params ? QueryStringOf(*params) : std::string();
      if (csv) return Csv(call, who, std::move(query), page, detail);
      Audit(who.name, call, "api", "reports?" + detail);
      nlohmann::ordered_json reports = nlohmann::ordered_json::array();
      for (const auto& hit : page.hits) reports.push_back(RecordJson(hit.record, hit.module_count));
      nlohmann::ordered_json body;
      body["reports"] = std::move(reports);
      body["next"] = page.next_cursor.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(page.next_cursor);
      body["total"] = page.total.value_or(0);
      return Json(200, "OK", body);
    }
    static constexpr std::string_view kOne = "/api/reports/";
    if (call.path.rfind(kOne, 0) == 0) {
      if (auto id = ReportIdOf(std::string_view(call.path).substr(kOne.size()))) {
        Answer answer;
        auto record = Record(context, *id, true, answer);
        if (!record) return answer;
        Audit(who.name, call, "api", *id);
        nlohmann::ordered_json body = RecordJson(*record, static_cast<uint32_t>(record->facts.modules.size()));
        body["modules"] = record->facts.modules;
        return Json(200, "OK", body);
      }
    }
    return ApiError(404, "Not Found", "no such resource");
  }

  Answer Csv(const Call& call, const Who& who, store::SearchQuery query, const store::SearchPage& first,
             const std::string& detail);
};

Answer DeskHandler::Impl::Csv(const Call& call, const Who& who, store::SearchQuery query,
                              const store::SearchPage& first, const std::string& detail) {
  Audit(who.name, call, "export", detail);
  std::string text = "\xEF\xBB\xBF";  // the BOM, so that a spreadsheet reads UTF-8
  text += kCsvHeader;
  for (const auto& hit : first.hits) text += CsvRow(hit);
  auto stream = std::make_shared<CsvStream>(readers, queries, std::move(query), options.quiet);
  stream->Start(std::move(text), store::ParseCursor(first.next_cursor));
  Answer a;
  a.code = 200;
  a.stream = std::move(stream);
  a.streamHead = std::string("HTTP/1.1 200 OK\r\nContent-Type: text/csv; charset=utf-8\r\n") + kSecurityFields +
                 kNoStore + "Content-Disposition: attachment; filename=\"reports.csv\"\r\n" +
                 "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
  return a;
}

namespace {

class DeskRequest final : public server::Request {
 public:
  DeskRequest(DeskHandler::Impl& impl, Call call, uint64_t bodyLength, bool login)
      : impl_(impl), call_(std::move(call)), bodyLeft_(bodyLength), login_(login) {
    if (bodyLeft_ == 0) Submit();
  }

  uint64_t body_left() const override { return bodyLeft_; }

  void Body(const char* data, std::size_t len, server::Responder& out) override {
    // The stack hands over empty pieces too, also once the body is whole.
    if (submitted_) return;
    call_.body.append(data, len);
    bodyLeft_ -= std::min<uint64_t>(bodyLeft_, len);
    if (bodyLeft_ == 0) {
      Submit();
      Settle(out);
    }
  }

  void Settle(server::Responder& out) override {
    if (!pending_ || !pending_->done.load(std::memory_order_acquire)) return;
    std::shared_ptr<Pending> done = std::move(pending_);
    Answer& a = done->answer;
    if (a.stream) {
      stream_ = std::move(a.stream);
      out.RespondStreamed(std::move(a.streamHead));
      return;
    }
    out.Respond(a.code, a.reason, a.body, kSecurityFields + a.fields, a.type.c_str());
  }

  bool busy() const override { return pending_ != nullptr; }

  void ClientLeft() override {
    if (stream_) stream_->Cancel();
  }

  uint64_t stream_left() const override { return stream_ ? stream_->Left() : 0; }
  std::size_t Produce(char* out, std::size_t max) override { return stream_ ? stream_->Take(out, max) : 0; }

  ~DeskRequest() override {
    if (stream_) stream_->Cancel();
  }

 private:
  void Submit() {
    submitted_ = true;
    pending_ = std::make_shared<Pending>();
    auto task = [&impl = impl_, call = std::move(call_), pending = pending_] {
      pending->answer = impl.Handle(call);
      pending->done.store(true, std::memory_order_release);
    };
    (login_ ? impl_.logins : impl_.queries).Submit(std::move(task));
  }

  DeskHandler::Impl& impl_;
  Call call_;
  uint64_t bodyLeft_;
  bool login_;
  bool submitted_ = false;
  std::shared_ptr<Pending> pending_;
  std::shared_ptr<CsvStream> stream_;
};

void RespondNow(server::Responder& out, int code, const char* reason, std::string_view body,
                const std::string& fields = {}, const char* type = "text/plain") {
  out.Respond(code, reason, body, kSecurityFields + fields, type);
}

}  // namespace

DeskHandler::DeskHandler(ServeOptions options, std::unique_ptr<DeskDb> db)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(db))) {}

DeskHandler::~DeskHandler() = default;

std::unique_ptr<server::Request> DeskHandler::Open(const server::RequestHead& head, const server::Peer& peer,
                                                   server::Responder& out, uint32_t nowMs) {
  (void)nowMs;
  Call call;
  call.method = head.method;
  std::string_view target = head.target;
  std::size_t q = target.find('?');
  call.path = std::string(target.substr(0, q));
  if (q != std::string_view::npos) call.query = std::string(target.substr(q + 1));
  uint32_t client = peer.addr;
  if (InBlocks(peer.addr, impl_->options.trustedProxies)) {
    if (const std::string* forwarded = head.Find("X-Forwarded-For")) {
      std::string_view last = *forwarded;
      std::size_t comma = last.rfind(',');
      if (comma != std::string_view::npos) last.remove_prefix(comma + 1);
      if (auto a = store::ParseIpv4(Trim(last))) client = *a;
    }
  }
  call.client = DottedIpv4(client);
  if (const std::string* f = head.Find("Cookie")) call.cookie = *f;
  if (const std::string* f = head.Find("Authorization")) call.authorization = *f;
  if (const std::string* f = head.Find("Accept-Language")) call.acceptLanguage = *f;

  if (call.method != "GET" && call.method != "POST") {
    RespondNow(out, 405, "Method Not Allowed", "GET or POST\n", "Allow: GET, POST\r\n");
    return nullptr;
  }
  static constexpr std::string_view kStatic = "/static/";
  if (call.method == "GET" && call.path.rfind(kStatic, 0) == 0) {
    if (const StaticFile* file = FindStatic(std::string_view(call.path).substr(kStatic.size()))) {
      RespondNow(out, 200, "OK", file->body, "Cache-Control: max-age=3600\r\n", file->type);
    } else {
      RespondNow(out, 404, "Not Found", "not found\n");
    }
    return nullptr;
  }
  uint64_t length = 0;
  if (call.method == "POST") {
    if (head.Find("Transfer-Encoding")) {
      RespondNow(out, 411, "Length Required", "a form is sent with Content-Length\n");
      return nullptr;
    }
    const std::string* field = head.Find("Content-Length");
    if (field && !server::ParseContentLength(field, length)) {
      RespondNow(out, 400, "Bad Request", "Content-Length\n");
      return nullptr;
    }
    if (length > kMaxFormBytes) {
      RespondNow(out, 413, "Payload Too Large", "form too large\n");
      return nullptr;
    }
  }
  bool login = call.method == "POST" && call.path == "/login";
  return std::make_unique<DeskRequest>(*impl_, std::move(call), length, login);
}

server::HttpLimits DeskLimits(bool quiet) {
  server::HttpLimits limits;
  limits.quiet = quiet;
  limits.fields = kSecurityFields;
  return limits;
}

DeskServer::DeskServer(ServeOptions options, std::unique_ptr<DeskDb> db, server::HttpLimits limits)
    : limits_(limits), handler_(std::move(options), std::move(db)) {}

// The connections go before the handler whose work they wait for.
DeskServer::~DeskServer() { http_.reset(); }

bool DeskServer::Start(uint32_t addr, uint16_t port, std::string& error) {
  http_ = std::make_unique<server::HttpServer>(limits_, handler_);
  port_ = http_->Listen(addr, port, 0);
  if (!port_) {
    error = "cannot listen on " + DottedIpv4(addr) + ":" + std::to_string(port);
    return false;
  }
  return true;
}

void DeskServer::Poll() { http_->Poll(); }

void DeskServer::Shutdown(uint32_t graceMs) {
  http_->StopAccepting();
  uint32_t start = platform::TickCount();
  while (http_->connections() > 0 && platform::TickCount() - start < graceMs) Poll();
}

}  // namespace zandrel::desk::web
