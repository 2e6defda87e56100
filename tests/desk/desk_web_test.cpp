// The desk's web side driven in process: who may see what, sign-in and its
// backoff, CSRF, cookies, the security fields of every answer, hostile
// filters and paths, raw bytes, CSV export and the audit log; on the
// embedded store and its SQLite desk file, and on a PostgreSQL store holding
// both (the same reports, the accounts imported from the file).
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <atomic>
#include <map>
#include <thread>
#include <set>

#include <nlohmann/json.hpp>

#include "server/desk/desk_db.h"
#include "server/desk/secrets.h"
#include "server/desk/web/desk_server.h"
#include "server/store/pg/pg_report_store.h"
#include "server/store/report_id.h"
#include "server/store/report_index.h"
#include "pg_server.h"
#include "report_generator.h"
#include "sockets.h"
#include "temp_dir.h"

namespace zandrel::desk::web {
namespace {

constexpr char kPassword[] = "correct horse";
constexpr int kReports = 1200;  // more than two pages of a CSV export
constexpr uint32_t kClient = 0x0a000001;  // 10.0.0.1

struct Response {
  int code = 0;
  std::multimap<std::string, std::string> fields;  // names lower-case
  std::string body;
  std::string Field(const std::string& name) const {
    auto it = fields.find(name);
    return it == fields.end() ? std::string() : it->second;
  }
};

Response ParseResponse(const std::string& raw) {
  Response r;
  std::size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos || raw.size() < 12) return r;
  r.code = std::stoi(raw.substr(9, 3));
  std::size_t pos = raw.find("\r\n") + 2;
  while (pos < end) {
    std::size_t eol = raw.find("\r\n", pos);
    std::string line = raw.substr(pos, eol - pos);
    std::size_t colon = line.find(':');
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    r.fields.emplace(name, line.substr(colon + 2));
    pos = eol + 2;
  }
  r.body = raw.substr(end + 4);
  if (r.Field("transfer-encoding") == "chunked") {
    std::string body;
    std::size_t at = 0;
    while (true) {
      std::size_t eol = r.body.find("\r\n", at);
      if (eol == std::string::npos) {
        r.body = "(cut chunks)";
        return r;
      }
      std::size_t n = std::stoul(r.body.substr(at, eol - at), nullptr, 16);
      if (n == 0) break;
      body += r.body.substr(eol + 2, n);
      at = eol + 2 + n + 2;
    }
    r.body = body;
  }
  return r;
}

// The value a Set-Cookie field gives the cookie; empty when none sets it.
std::string SetCookieValue(const Response& r, const std::string& name, std::string* whole = nullptr) {
  auto [first, last] = r.fields.equal_range("set-cookie");
  for (auto it = first; it != last; ++it) {
    if (it->second.rfind(name + "=", 0) != 0) continue;
    if (whole) *whole = it->second;
    return it->second.substr(name.size() + 1, it->second.find(';') - name.size() - 1);
  }
  return {};
}

TEST(DeskSecrets, AHashVerifiesItsPasswordAloneAndMalformedOrCostlyHashesNothing) {
  ScryptCost cheap{1u << 10, 8, 1};
  auto h = HashPassword("pw 卡顿", cheap);
  ASSERT_TRUE(h);
  EXPECT_TRUE(VerifyPassword("pw 卡顿", *h));
  EXPECT_FALSE(VerifyPassword("pw 卡", *h));
  EXPECT_FALSE(VerifyPassword("", *h));
  EXPECT_NE(*HashPassword("pw 卡顿", cheap), *h) << "a salt of its own";
  std::string tampered = *h;
  tampered.back() = tampered.back() == '0' ? '1' : '0';
  EXPECT_FALSE(VerifyPassword("pw 卡顿", tampered));
  std::string rest = h->substr(std::string("scrypt$1024$8$1$").size());
  for (const std::string& bad : {"scrypt$1000$8$1$" + rest, "scrypt$2097152$8$1$" + rest, "scrypt$1024$0$1$" + rest,
                                 "scrypt$1024$8$99$" + rest, "scrypt$1024$8$" + rest, "pbkdf2$1024$8$1$" + rest,
                                 std::string("scrypt$1024$8$1$zz$00"), std::string()}) {
    EXPECT_FALSE(VerifyPassword("pw 卡顿", bad)) << bad;
  }
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::string a = RandomHex(16), b = RandomHex(16);
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
}

enum class Backend { kEmbedded, kPostgresql };

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::kEmbedded ? "Embedded" : "Postgresql";
}

// One server for every PostgreSQL case of this program, a database each.
testsupport::PgServer* SharedPg(std::string& why) {
  static std::unique_ptr<testsupport::PgServer> server;
  static std::string failed;
  if (!server && failed.empty()) {
    server = std::make_unique<testsupport::PgServer>();
    if (!server->Start()) {
      failed = server->why();
      server.reset();
    }
  }
  why = failed;
  return server.get();
}

std::string NewPgDatabase(std::string& why) {
  static int made = 0;
  testsupport::PgServer* pg = SharedPg(why);
  return pg ? pg->CreateDatabase("desk" + std::to_string(++made)) : std::string();
}

class DeskWebTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    testing::GeneratorOptions g;
    g.span_ms = 2 * 86400000LL;
    g.count_hint = kReports;
    testing::ReportGenerator gen(g);
    for (int i = 0; i < kReports; ++i) records_.push_back(gen.Next());
    store::ReportIndex index;
    ASSERT_TRUE(index.Open(dir_ / "index.sqlite").ok);
    ASSERT_TRUE(index.Add(records_).ok);
    // The raw bytes of the first report, GBK with a byte that is no UTF-8.
    raw_ = std::string("\xce\xca\xcc\xe2\xc3\xe8\xca\xf6\xa3\xba\x80\r\nline\0two\r\n", 22);
    std::ofstream(dir_ / records_[0].file, std::ios::binary) << raw_;

    std::string error;
    other_ = OpenSqliteDeskDb(dir_ / "desk.sqlite", error);
    ASSERT_TRUE(other_) << error;
    bool added = false;
    auto hash = HashPassword(kPassword, ScryptCost{1u << 10, 8, 1});
    ASSERT_TRUE(hash);
    ASSERT_TRUE(other_->AddUser("alice", *hash, now_, added, error) && added) << error;
    ASSERT_TRUE(other_->AddUser("bob", *hash, now_, added, error) && added) << error;
    token_ = RandomHex(20);
    ASSERT_TRUE(other_->AddToken("nightly", Sha256Hex(token_), now_, added, error) && added) << error;
    if (GetParam() == Backend::kPostgresql) {
      std::string why;
      database_ = NewPgDatabase(why);
      ASSERT_FALSE(database_.empty()) << why;
      store::PgReportStore pg;
      ASSERT_TRUE(pg.Open(database_, true).ok);
      std::vector<std::string> bodies;
      for (const auto& r : records_) bodies.push_back(bodies.empty() ? raw_ : "report " + r.id);
      ASSERT_TRUE(pg.Insert(records_, bodies).ok);
      DeskImportCounts counts;
      ASSERT_TRUE(ImportDeskDb(*other_, database_, counts, error)) << error;
      EXPECT_EQ(counts.users, 2u);
      EXPECT_EQ(counts.tokens, 1u);
      other_ = OpenPgDeskDb(database_, error);
      ASSERT_TRUE(other_) << error;
    }
    MakeHandler(false);
  }

  std::unique_ptr<DeskDb> OpenDb() {
    std::string error;
    auto db = database_.empty() ? OpenSqliteDeskDb(dir_ / "desk.sqlite", error) : OpenPgDeskDb(database_, error);
    EXPECT_TRUE(db) << error;
    return db;
  }

  ServeOptions Options() {
    ServeOptions o;
    o.dataDir = dir_.path();
    o.indexPath = dir_ / "index.sqlite";
    o.database = database_;
    o.quiet = true;
    return o;
  }

  void MakeHandler(bool secure, std::vector<store::Ipv4Range> proxies = {}, int64_t countCap = 0) {
    handler_.reset();
    ServeOptions o = Options();
    o.secureCookies = secure;
    o.trustedProxies = std::move(proxies);
    o.clock = [this] { return now_; };
    if (countCap > 0) o.countCap = countCap;
    auto db = OpenDb();
    ASSERT_TRUE(db);
    handler_ = std::make_unique<DeskHandler>(std::move(o), std::move(db));
  }

  // Takes a report out of the store, as retention would.
  void RemoveReport(const std::string& id) {
    if (database_.empty()) {
      store::ReportIndex index;
      ASSERT_TRUE(index.Open(dir_ / "index.sqlite").ok);
      std::vector<store::IndexedFile> gone;
      ASSERT_TRUE(index.Remove({id}, gone).ok);
      return;
    }
    store::PgReportStore pg;
    ASSERT_TRUE(pg.Open(database_).ok);
    std::string error;
    // Its row and what search reads of it, as dropping its day would.
    std::string n = std::to_string(*store::ParseReportId(id));
    ASSERT_TRUE(pg.connection().Exec("DELETE FROM report_address a USING report_search s WHERE a.rid = s.rid AND s.id = " +
                                         n + "; DELETE FROM report_search WHERE id = " + n +
                                         "; DELETE FROM reports WHERE id = " + n,
                                     &error))
        << error;
  }

  Response Send(const std::string& request, uint32_t from = kClient) {
    server::HttpLimits limits = DeskLimits(true);
    server::Peer peer;
    peer.addr = from;
    peer.text = "test";
    return ParseResponse(server::HandleInProcess(limits, *handler_, {request}, peer, 64u << 20));
  }

  Response Get(const std::string& target, const std::string& fields = {}, uint32_t from = kClient) {
    return Send("GET " + target + " HTTP/1.1\r\nHost: desk\r\n" + fields + "\r\n", from);
  }

  Response Post(const std::string& target, const std::string& body, const std::string& fields = {},
                uint32_t from = kClient) {
    return Send("POST " + target + " HTTP/1.1\r\nHost: desk\r\nContent-Type: application/x-www-form-urlencoded\r\n" +
                    "Content-Length: " + std::to_string(body.size()) + "\r\n" + fields + "\r\n" + body,
                from);
  }

  // Signs in; the session cookie, or the failed answer in failed.
  Response TryLogin(const std::string& user, const std::string& password, uint32_t from = kClient) {
    Response form = Get("/login", {}, from);
    std::string token = SetCookieValue(form, kLoginCookie);
    EXPECT_EQ(form.code, 200);
    EXPECT_NE(form.body.find(token), std::string::npos) << "the form carries the token of its cookie";
    return Post("/login", "user=" + user + "&password=" + password + "&csrf=" + token,
                "Cookie: " + std::string(kLoginCookie) + "=" + token + "\r\n", from);
  }

  std::string Login(const std::string& user = "alice") {
    Response r = TryLogin(user, "correct+horse");
    EXPECT_EQ(r.code, 303);
    EXPECT_EQ(r.Field("location"), "/");
    return SetCookieValue(r, kSessionCookie);
  }

  static std::string Cookie(const std::string& session) {
    return "Cookie: " + std::string(kSessionCookie) + "=" + session + "\r\n";
  }

  // The session's form token, from a page that has the logout form.
  std::string CsrfOf(const std::string& session) {
    Response page = Get("/audit", Cookie(session));
    std::size_t at = page.body.find("name=\"csrf\" value=\"");
    if (at == std::string::npos) return {};
    at += 19;
    return page.body.substr(at, page.body.find('"', at) - at);
  }

  std::vector<AuditRecord> AuditLog() {
    std::vector<AuditRecord> records;
    std::string error;
    EXPECT_TRUE(other_->ReadAudit(0, 1000, records, error)) << error;
    return records;
  }

  testsupport::TempDir dir_{"desk-web"};
  std::vector<store::ReportRecord> records_;
  std::string raw_, token_;
  int64_t now_ = 1767225600000;  // 2026-01-01
  std::string database_;  // the PostgreSQL store's URL; empty: the embedded store
  std::unique_ptr<DeskDb> other_;  // as another process (the user command) would see it
  std::unique_ptr<DeskHandler> handler_;
};

const char* const kPages[] = {"/", "/?q=x", "/dashboard", "/audit", "/reports/7K3M-QX9P", "/reports/7K3M-QX9P/raw",
                              "/nowhere"};
const char* const kApi[] = {"/api/reports", "/api/reports/7K3M-QX9P", "/api/reports.csv", "/api/nowhere"};

TEST_P(DeskWebTest, AccessWithoutASessionIsRedirectedOrRefused) {
  for (const char* page : kPages) {
    Response r = Get(page);
    EXPECT_EQ(r.code, 302) << page;
    EXPECT_EQ(r.Field("location"), "/login") << page;
    // A session id that was never given, and one in the wrong cookie.
    EXPECT_EQ(Get(page, Cookie("00112233445566778899aabbccddeeff")).code, 302) << page;
    EXPECT_EQ(Get(page, "Authorization: Bearer " + token_ + "\r\n").code, 302) << "a token opens no page: " << page;
  }
  for (const char* api : kApi) {
    Response r = Get(api);
    EXPECT_EQ(r.code, 401) << api;
    EXPECT_EQ(r.body.find("module"), std::string::npos);
    EXPECT_EQ(Get(api, "Authorization: Bearer 0123\r\n").code, 401) << api;
  }
  EXPECT_EQ(Post("/logout", "csrf=x").code, 303);
  EXPECT_EQ(Get("/login").code, 200);
  EXPECT_EQ(Get("/static/desk.css").code, 200);
}

TEST_P(DeskWebTest, ASessionEndsWithItsUserOrWhenIdle) {
  std::string alice = Login("alice"), bob = Login("bob");
  ASSERT_EQ(alice.size(), 32u) << "128 random bits";
  EXPECT_NE(alice, bob);
  EXPECT_EQ(Get("/", Cookie(alice)).code, 200);
  bool removed = false;
  std::string error;
  ASSERT_TRUE(other_->RemoveUser("alice", removed, error) && removed);
  EXPECT_EQ(Get("/", Cookie(alice)).code, 302) << "removed in another process, refused at once";
  EXPECT_EQ(Get("/api/reports", Cookie(alice)).code, 401);
  // Bob's session lives while used within 12 hours, and ends after 12 idle ones.
  now_ += kSessionIdleMs - 60000;
  EXPECT_EQ(Get("/", Cookie(bob)).code, 200);
  now_ += kSessionIdleMs - 60000;
  EXPECT_EQ(Get("/", Cookie(bob)).code, 200);
  now_ += kSessionIdleMs + 1;
  EXPECT_EQ(Get("/", Cookie(bob)).code, 302);
}

TEST_P(DeskWebTest, PostsNeedTheRightCsrfToken) {
  std::string session = Login();
  std::string csrf = CsrfOf(session);
  ASSERT_EQ(csrf.size(), 32u);
  EXPECT_EQ(Post("/logout", "", Cookie(session)).code, 403);
  EXPECT_EQ(Post("/logout", "csrf=", Cookie(session)).code, 403);
  EXPECT_EQ(Post("/logout", "csrf=" + std::string(32, '0'), Cookie(session)).code, 403);
  EXPECT_EQ(Post("/logout", "csrf=" + CsrfOf(Login("bob")), Cookie(session)).code, 403) << "another session's token";
  EXPECT_EQ(Get("/", Cookie(session)).code, 200) << "still signed in";
  Response out = Post("/logout", "csrf=" + csrf, Cookie(session));
  EXPECT_EQ(out.code, 303);
  EXPECT_EQ(out.Field("location"), "/login");
  EXPECT_EQ(Get("/", Cookie(session)).code, 302) << "signed out";

  // The sign-in form: its token must come back in both the cookie and the field.
  Response form = Get("/login");
  std::string token = SetCookieValue(form, kLoginCookie);
  std::string body = "user=alice&password=correct+horse&csrf=" + token;
  EXPECT_EQ(Post("/login", body).code, 403) << "no cookie";
  EXPECT_EQ(Post("/login", "user=alice&password=correct+horse",
                 "Cookie: " + std::string(kLoginCookie) + "=" + token + "\r\n").code, 403);
  EXPECT_EQ(Post("/login", body, "Cookie: " + std::string(kLoginCookie) + "=" + RandomHex(16) + "\r\n").code, 403);
}

TEST_P(DeskWebTest, CookiesAreHttpOnlyStrictAndSecureWhenAsked) {
  for (bool secure : {false, true}) {
    MakeHandler(secure);
    Response r = TryLogin("alice", "correct+horse");
    std::string whole;
    ASSERT_FALSE(SetCookieValue(r, kSessionCookie, &whole).empty());
    EXPECT_NE(whole.find("; HttpOnly"), std::string::npos) << whole;
    EXPECT_NE(whole.find("; SameSite=Strict"), std::string::npos) << whole;
    EXPECT_NE(whole.find("; Path=/"), std::string::npos) << whole;
    EXPECT_EQ(whole.find("; Secure") != std::string::npos, secure) << whole;
    SetCookieValue(Get("/login"), kLoginCookie, &whole);
    EXPECT_NE(whole.find("; HttpOnly"), std::string::npos) << whole;
    EXPECT_EQ(whole.find("; Secure") != std::string::npos, secure) << whole;
  }
}

TEST_P(DeskWebTest, FiveWrongPasswordsLockTheUserAndTheAddressForFifteenMinutes) {
  for (int i = 0; i < 5; ++i) EXPECT_EQ(TryLogin("alice", "wrong").code, 401) << i;
  Response locked = TryLogin("alice", "correct+horse");
  EXPECT_EQ(locked.code, 429) << "even the right password waits";
  EXPECT_TRUE(SetCookieValue(locked, kSessionCookie).empty());
  EXPECT_EQ(TryLogin("bob", "correct+horse").code, 429) << "the address is locked too";
  EXPECT_EQ(TryLogin("alice", "correct+horse", 0x0a000002).code, 429) << "alice is locked from anywhere";
  EXPECT_EQ(TryLogin("bob", "correct+horse", 0x0a000002).code, 303) << "bob elsewhere is not";
  now_ += kLoginLockMs - 1000;
  EXPECT_EQ(TryLogin("alice", "correct+horse").code, 429);
  now_ += 2000;
  EXPECT_EQ(TryLogin("alice", "correct+horse").code, 303);

  // Failures spread over more than the window do not lock.
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(TryLogin("bob", "wrong", 0x0a000003).code, 401) << i;
    now_ += kLoginWindowMs / 4 + 1000;
  }
  // Unknown names count against the address.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(TryLogin("nobody" + std::to_string(i), "x", 0x0a000004).code, 401);
  EXPECT_EQ(TryLogin("alice", "correct+horse", 0x0a000004).code, 429);
}

TEST_P(DeskWebTest, EveryKindOfAnswerCarriesTheSecurityFields) {
  std::string session = Login();
  std::string id = records_[0].id;
  std::vector<Response> answers = {
      Get("/"), Get("/", Cookie(session)), Get("/login"), Get("/api/reports"), Get("/static/desk.js"),
      Get("/static/none.js"), Get("/reports/" + id, Cookie(session)), Get("/reports/" + id + "/raw", Cookie(session)),
      Get("/reports/0000-0000", Cookie(session)), Get("/dashboard", Cookie(session)), Get("/audit", Cookie(session)),
      Get("/api/reports.csv?limit=5", Cookie(session)), Get("/api/reports?ip=x", Cookie(session)),
      Post("/logout", "csrf=bad", Cookie(session)), Send("DELETE / HTTP/1.1\r\n\r\n"),
      Post("/login", std::string(kMaxFormBytes + 1, 'a')), TryLogin("alice", "wrong"), Send("GET\r\n\r\n"),
      Send("GET / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n")};
  std::set<int> codes;
  for (const Response& r : answers) {
    codes.insert(r.code);
    std::string csp = r.Field("content-security-policy");
    EXPECT_NE(csp.find("frame-ancestors 'none'"), std::string::npos) << r.code;
    EXPECT_NE(csp.find("default-src 'none'"), std::string::npos) << r.code;
    EXPECT_EQ(csp.find("unsafe-inline"), std::string::npos) << r.code;
    EXPECT_EQ(r.Field("x-content-type-options"), "nosniff") << r.code;
    EXPECT_EQ(r.Field("referrer-policy"), "no-referrer") << r.code;
  }
  EXPECT_EQ(codes, (std::set<int>{200, 302, 400, 401, 403, 404, 405, 413}));
  for (std::size_t i : {1, 6, 7, 9, 10, 11}) EXPECT_EQ(answers[i].Field("cache-control"), "no-store") << i;
}

// What a database error would show (the values tried are echoed in the form,
// so their own words are not looked for).
const char* const kLeaks[] = {"SQL logic", "syntax error", "no such", "unrecognized token", "database", "SQLITE_"};

TEST_P(DeskWebTest, HostileFilterValuesGiveAnErrorOrTheRightRows) {
  std::string session = Login();
  const char* names[] = {"q", "ip", "mac", "module", "from", "to", "failed", "slower_than", "limit", "cursor"};
  const std::string values[] = {
      "%27%20OR%201%3D1%20--", "%22%3B%20DROP%20TABLE%20reports%3B%20--", "%25", "a%00b", "%5C%5C..%5C%27",
      std::string(5000, 'x'), "1%27)%20UNION%20SELECT%20*%20FROM%20sqlite_master--", "*", "NEAR(a%20b)"};
  for (const char* name : names) {
    for (const std::string& value : values) {
      std::string target = std::string("?") + name + "=" + value;
      Response api = Get("/api/reports" + target, Cookie(session));
      EXPECT_TRUE(api.code == 200 || api.code == 400) << target << " " << api.code;
      for (const char* leak : kLeaks) EXPECT_EQ(api.body.find(leak), std::string::npos) << target;
      if (api.code == 200) {
        auto j = nlohmann::json::parse(api.body);
        EXPECT_EQ(j["total"], 0) << "no report matches " << target;
        EXPECT_TRUE(j["reports"].empty()) << target;
      } else {
        EXPECT_FALSE(nlohmann::json::parse(api.body)["error"].get<std::string>().empty());
      }
      Response page = Get("/" + target, Cookie(session));
      EXPECT_EQ(page.code, 200) << target;
      for (const char* leak : kLeaks) EXPECT_EQ(page.body.find(leak), std::string::npos) << target;
      EXPECT_EQ(Get("/dashboard" + target, Cookie(session)).code, 200) << target;
    }
  }
  // A repeated parameter and an undecodable escape are errors, not guesses.
  EXPECT_EQ(Get("/api/reports?ip=10.0.0.1&ip=10.0.0.2", Cookie(session)).code, 400);
  EXPECT_EQ(Get("/api/reports?q=%zz", Cookie(session)).code, 400);
  // The right rows: a sender's reports, all of them and only them.
  uint32_t sender = records_[7].sender;
  std::size_t want = 0;
  for (const auto& r : records_) want += r.sender == sender;
  std::string ip = std::to_string(sender >> 24) + "." + std::to_string(sender >> 16 & 255) + "." +
                   std::to_string(sender >> 8 & 255) + "." + std::to_string(sender & 255);
  auto j = nlohmann::json::parse(Get("/api/reports?limit=500&ip=" + ip, Cookie(session)).body);
  EXPECT_EQ(j["total"], want);
  for (const auto& r : j["reports"]) EXPECT_EQ(r["sender"], ip);
}

TEST_P(DeskWebTest, OnlyReportIdsNameReports) {
  std::string session = Login();
  const char* targets[] = {"/reports/../../etc/passwd",       "/reports/%2e%2e/%2e%2e/etc/passwd",
                           "/reports/..%2F..%2Fetc%2Fpasswd", "/reports/%2e%2e%2f%2e%2e%2fetc%2fpasswd/raw",
                           "/reports/../desk.sqlite/raw",      "/reports/index.sqlite/raw",
                           "/reports/",                        "/reports/7K3M-QX9P-/raw",
                           "/static/../desk.sqlite",           "/static/%2e%2e/index.sqlite",
                           "/api/reports/..%2findex.sqlite",  "/reports/7K3M%2DQX9P"};
  for (const char* target : targets) {
    Response r = Get(target, Cookie(session));
    EXPECT_EQ(r.code, 404) << target;
    EXPECT_EQ(r.body.find("SQLite format"), std::string::npos) << target;
  }
  // A report that was there, then removed.
  std::string id = records_[0].id;
  EXPECT_EQ(Get("/reports/" + id, Cookie(session)).code, 200);
  Response raw = Get("/reports/" + id + "/raw", Cookie(session));
  EXPECT_EQ(raw.code, 200);
  EXPECT_EQ(raw.body, raw_) << "the exact stored bytes";
  EXPECT_EQ(raw.Field("content-type"), "text/plain; charset=GBK");
  EXPECT_EQ(raw.Field("content-disposition"), "attachment; filename=\"" + id + ".txt\"");
  std::string lower = id;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(Get("/reports/" + lower, Cookie(session)).code, 200) << "ids are read forgiving case";
  RemoveReport(id);
  EXPECT_EQ(Get("/reports/" + id, Cookie(session)).code, 404);
  EXPECT_EQ(Get("/reports/" + id + "/raw", Cookie(session)).code, 404);
  EXPECT_EQ(Get("/api/reports/" + id, Cookie(session)).code, 404);
}

TEST_P(DeskWebTest, CsvExportIsUtf8WithABomAndHoldsEveryMatchAcrossPages) {
  std::string session = Login();
  Response r = Get("/api/reports.csv", Cookie(session));
  ASSERT_EQ(r.code, 200);
  EXPECT_EQ(r.Field("transfer-encoding"), "chunked");
  EXPECT_EQ(r.Field("content-type"), "text/csv; charset=utf-8");
  ASSERT_EQ(r.body.rfind("\xEF\xBB\xBFid,received,", 0), 0u);
  std::size_t lines = 0;
  for (char c : r.body) lines += c == '\n';
  // Problem texts may hold quoted line ends: count rows by their ids instead.
  std::size_t ids = 0;
  for (const auto& rec : records_) ids += r.body.find("\n" + rec.id + ",") != std::string::npos;
  EXPECT_EQ(ids, records_.size());
  EXPECT_GE(lines, records_.size() + 1);
  // Filtered: only the matching rows.
  Response some = Get("/api/reports.csv?failed=udp", Cookie(session));
  std::size_t want = 0, got = 0;
  for (const auto& rec : records_) {
    bool failed = rec.facts.udp_ok == false;
    want += failed;
    got += some.body.find("\n" + rec.id + ",") != std::string::npos;
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(some.body.find("\r\n0\r\n"), std::string::npos);
}

TEST_P(DeskWebTest, ATokenReadsTheApiAndEveryReadIsAudited) {
  std::string bearer = "Authorization: Bearer " + token_ + "\r\n";
  auto list = nlohmann::json::parse(Get("/api/reports?limit=3", bearer).body);
  ASSERT_EQ(list["reports"].size(), 3u);
  EXPECT_EQ(list["total"], kReports);
  ASSERT_TRUE(list["next"].is_string());
  auto next = nlohmann::json::parse(Get("/api/reports?limit=3&cursor=" + list["next"].get<std::string>(), bearer).body);
  EXPECT_NE(next["reports"][0]["id"], list["reports"][0]["id"]);
  std::string id = list["reports"][0]["id"];
  auto one = nlohmann::json::parse(Get("/api/reports/" + id, bearer).body);
  EXPECT_EQ(one["id"], id);
  EXPECT_EQ(one["modules"].size(), one["module_count"].get<std::size_t>());
  EXPECT_EQ(Post("/logout", "csrf=", bearer).code, 303) << "a token changes nothing";
  bool removed = false;
  std::string error;
  ASSERT_TRUE(other_->RemoveToken("nightly", removed, error) && removed);
  EXPECT_EQ(Get("/api/reports", bearer).code, 401);

  std::string session = Login();
  TryLogin("alice", "wrong");
  Get("/reports/" + records_[0].id, Cookie(session));
  Get("/reports/" + records_[0].id + "/raw", Cookie(session));
  Get("/api/reports.csv?q=x", Cookie(session));
  Post("/logout", "csrf=" + CsrfOf(session), Cookie(session));
  std::vector<std::string> actions;
  for (const AuditRecord& r : AuditLog()) {
    actions.insert(actions.begin(), r.action + " " + r.user + " " + r.detail);
    EXPECT_EQ(r.from, "10.0.0.1");
    EXPECT_EQ(r.at_ms, now_);
  }
  std::vector<std::string> want = {"api token:nightly reports?limit=3",
                                   "api token:nightly reports?limit=3&cursor=" + list["next"].get<std::string>(),
                                   "api token:nightly " + id,
                                   "login alice ",
                                   "login_failed  alice",
                                   "report alice " + records_[0].id,
                                   "raw alice " + records_[0].id,
                                   "export alice q=x",
                                   "logout alice "};
  EXPECT_EQ(actions, want);
}

TEST_P(DeskWebTest, ATrustedProxyNamesTheClient) {
  MakeHandler(false, {*store::ParseIpv4Block("127.0.0.0/8")});
  std::string forwarded = "X-Forwarded-For: 203.0.113.9, 198.51.100.7\r\n";
  Get("/api/reports/" + records_[0].id, forwarded + "Authorization: Bearer " + token_ + "\r\n", 0x7f000001);
  Get("/api/reports/" + records_[0].id, forwarded + "Authorization: Bearer " + token_ + "\r\n", kClient);
  auto log = AuditLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].from, "198.51.100.7") << "the last entry, from the proxy";
  EXPECT_EQ(log[0].from, "10.0.0.1") << "an untrusted peer's field is ignored";
  // Failures behind the proxy count against the forwarded address.
  for (int i = 0; i < 5; ++i) {
    Response form = Get("/login", {}, 0x7f000001);
    std::string t = SetCookieValue(form, kLoginCookie);
    Post("/login", "user=x&password=y&csrf=" + t, "Cookie: zd_login=" + t + "\r\n" + forwarded, 0x7f000001);
  }
  EXPECT_EQ(TryLogin("alice", "correct+horse", 0x7f000001).code, 303) << "the proxy itself is not locked";
}

// On a real socket: a client that never finishes its request does not keep
// another from its answer.
TEST_P(DeskWebTest, OverASocketAStalledClientHoldsNobodyUp) {
  auto db = OpenDb();
  ASSERT_TRUE(db);
  std::string error;
  DeskServer desk(Options(), std::move(db), DeskLimits(true));
  ASSERT_TRUE(desk.Start(0x7f000001, 0, error)) << error;
  std::atomic<bool> stop{false};
  std::thread loop([&] {
    while (!stop) desk.Poll();
  });
  auto stalled = testsock::Connect(desk.port());
  ASSERT_TRUE(testsock::SendAll(stalled, "GET /api/reports HTTP/1.1\r\nAuthorization: Bearer "));
  auto client = testsock::Connect(desk.port());
  ASSERT_TRUE(testsock::SendAll(client, "GET /api/reports?limit=2 HTTP/1.1\r\nAuthorization: Bearer " + token_ +
                                               "\r\n\r\n"));
  Response r = ParseResponse(testsock::ReadUntilClosed(client));
  EXPECT_EQ(r.code, 200);
  EXPECT_EQ(nlohmann::json::parse(r.body)["reports"].size(), 2u);
  EXPECT_EQ(r.Field("x-content-type-options"), "nosniff");
  testsock::Close(client);
  testsock::Close(stalled);
  stop = true;
  loop.join();
  desk.Shutdown(1000);
}

TEST_P(DeskWebTest, TheListPageCapsItsCountWhileTheApiCountsExactly) {
  MakeHandler(false, {}, 100);
  std::string session = Login();
  Response all = Get("/", Cookie(session) + "Accept-Language: en\r\n");
  ASSERT_EQ(all.code, 200);
  EXPECT_NE(all.body.find("<b class=\"total\">100+</b>"), std::string::npos) << "more than the cap";
  auto j = nlohmann::json::parse(Get("/api/reports?limit=1", Cookie(session)).body);
  EXPECT_EQ(j["total"], kReports) << "the API's total is exact";

  // A sender's reports, filtered by address and a word of one's problem:
  // under the cap, counted exactly, every one listed.
  const store::ReportRecord* with = nullptr;
  std::string word;
  for (const auto& r : records_) {
    const std::string& p = r.facts.problem.value_or("");
    std::size_t a = 0;
    while (a < p.size() && !std::isalpha(static_cast<unsigned char>(p[a]))) ++a;
    std::size_t b = a;
    while (b < p.size() && std::isalnum(static_cast<unsigned char>(p[b]))) ++b;
    if (b - a >= 3) {
      with = &r;
      word = p.substr(a, b - a);
      break;
    }
  }
  ASSERT_TRUE(with) << "the generator writes Latin words in some problem texts";
  uint32_t ip = with->sender;
  std::string filter = "q=" + word + "&ip=" + std::to_string(ip >> 24) + "." + std::to_string(ip >> 16 & 255) + "." +
                       std::to_string(ip >> 8 & 255) + "." + std::to_string(ip & 255);
  auto some = nlohmann::json::parse(Get("/api/reports?limit=500&" + filter, Cookie(session)).body);
  ASSERT_GE(some["total"].get<int>(), 1);
  ASSERT_LT(some["total"].get<int>(), 100);
  Response page = Get("/?" + filter, Cookie(session) + "Accept-Language: en\r\n");
  ASSERT_EQ(page.code, 200);
  EXPECT_NE(page.body.find("<b class=\"total\">" + std::to_string(some["total"].get<int>()) + "</b>"),
            std::string::npos);
  bool found = false;
  for (const auto& r : some["reports"]) {
    EXPECT_NE(page.body.find(r["id"].get<std::string>()), std::string::npos) << r["id"];
    found = found || r["id"] == with->id;
  }
  EXPECT_TRUE(found) << with->id;
  EXPECT_EQ(Get("/dashboard?" + filter, Cookie(session)).code, 200);
  EXPECT_EQ(Get("/reports/" + with->id, Cookie(session)).code, 200);
  auto log = AuditLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0].action + " " + log[0].user + " " + log[0].detail, "report alice " + with->id);
}

// Staff opening the same dashboard within ten seconds share one set of
// figures; the page says when they were made, and later ones see changes.
TEST_P(DeskWebTest, ADashboardsFiguresAreSharedForTenSecondsAndDated) {
  std::string session = Login();
  auto total = [&](const std::string& fields) {
    Response r = Get("/dashboard?from=2000-01-01", Cookie(session) + fields);
    EXPECT_EQ(r.code, 200);
    std::size_t at = r.body.find("<b class=\"total\">");
    EXPECT_NE(at, std::string::npos);
    EXPECT_NE(r.body.find("<span class=\"as-of\">"), std::string::npos);
    std::string n = at == std::string::npos ? "" : r.body.substr(at + 17, r.body.find('<', at + 17) - at - 17);
    std::erase(n, ',');
    return std::make_pair(n, r.body);
  };
  auto [before, page] = total("Accept-Language: en\r\n");
  EXPECT_EQ(before, std::to_string(kReports));
  EXPECT_NE(page.find("figures as of <time datetime=\"2026-01-01T00:00:00.000Z\">"), std::string::npos);
  RemoveReport(records_[5].id);
  now_ += 9'000;
  auto [shared, zh] = total("");
  EXPECT_EQ(shared, std::to_string(kReports)) << "the same figures within ten seconds";
  EXPECT_NE(zh.find("统计于 <time datetime=\"2026-01-01T00:00:00.000Z\">"), std::string::npos);
  now_ += 1'000;
  EXPECT_EQ(total("").first, std::to_string(kReports - 1)) << "made again after ten seconds";
}

// The desk's database itself, on either store: the audit log read both
// ways, accounts with their hashes, a removed user's sessions.
TEST_P(DeskWebTest, TheDeskDatabaseNumbersTheAuditLogAndDropsARemovedUsersSessions) {
  std::unique_ptr<DeskDb> db = OpenDb();
  ASSERT_TRUE(db);
  std::string error;
  bool added = true;
  ASSERT_TRUE(db->AddUser("alice", "other", now_, added, error)) << error;
  EXPECT_FALSE(added) << "the name is taken";
  ASSERT_TRUE(db->AddToken("again", Sha256Hex(token_), now_, added, error)) << error;
  EXPECT_FALSE(added) << "the token's hash is taken";
  std::vector<DeskDb::Account> users, tokens;
  ASSERT_TRUE(db->Accounts(users, tokens, error)) << error;
  ASSERT_EQ(users.size(), 2u);
  EXPECT_EQ(users[0].name, "alice");
  EXPECT_TRUE(VerifyPassword(kPassword, users[0].hash));
  EXPECT_EQ(users[0].created_ms, now_);
  ASSERT_EQ(tokens.size(), 1u);
  EXPECT_EQ(tokens[0].hash, Sha256Hex(token_));

  for (int i = 0; i < 25; ++i) {
    ASSERT_TRUE(db->Audit({0, now_ + i, "alice", "10.0.0.1", "report", "n" + std::to_string(i)}, error)) << error;
  }
  std::vector<AuditRecord> newest, older, since;
  ASSERT_TRUE(db->ReadAudit(0, 10, newest, error)) << error;
  ASSERT_EQ(newest.size(), 10u);
  EXPECT_EQ(newest[0].detail, "n24");
  ASSERT_TRUE(db->ReadAudit(newest.back().id, 100, older, error)) << error;
  ASSERT_EQ(older.size(), 15u);
  EXPECT_EQ(older[0].detail, "n14");
  EXPECT_EQ(older.back().detail, "n0");
  ASSERT_TRUE(db->ReadAuditSince(older[5].id, 3, since, error)) << error;
  ASSERT_EQ(since.size(), 3u);
  EXPECT_EQ(since[0].detail, "n10");
  for (std::size_t i = 1; i < since.size(); ++i) EXPECT_GT(since[i].id, since[i - 1].id);

  ASSERT_TRUE(db->CreateSession("s1", "bob", "c1", now_, error)) << error;
  ASSERT_TRUE(db->CreateSession("s2", "bob", "c2", now_, error)) << error;
  std::optional<SessionInfo> found;
  ASSERT_TRUE(db->FindSession("s1", now_ + 1000, kSessionIdleMs, found, error)) << error;
  ASSERT_TRUE(found);
  EXPECT_EQ(found->csrf, "c1");
  bool removed = false;
  ASSERT_TRUE(other_->RemoveUser("bob", removed, error) && removed) << error;
  for (const char* id : {"s1", "s2"}) {
    ASSERT_TRUE(db->FindSession(id, now_ + 2000, kSessionIdleMs, found, error)) << error;
    EXPECT_FALSE(found) << id;
  }
  // Backoff keys are apart: one locked, another not.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(db->RecordFailure("user:x", now_, 1000, 3, 5000, error)) << error;
  bool locked = false;
  ASSERT_TRUE(db->Locked("user:x", now_ + 4999, locked, error) && locked);
  ASSERT_TRUE(db->Locked("addr:x", now_, locked, error) && !locked);
  ASSERT_TRUE(db->Locked("user:x", now_ + 5000, locked, error) && !locked);
}

// Accounts, tokens and the audit log copied from the desk's file into a
// PostgreSQL store: once, however often the copy runs.
TEST(DeskImportAccounts, CopyingTwiceAddsNothingTheSecondTimeAndKeepsTheLogInOrder) {
  testsupport::TempDir dir("desk-import");
  std::string error, why;
  std::string url = NewPgDatabase(why);
  ASSERT_FALSE(url.empty()) << why;
  ASSERT_TRUE(store::PgReportStore().Open(url, true).ok);
  auto file = OpenSqliteDeskDb(dir / "desk.sqlite", error);
  ASSERT_TRUE(file) << error;
  bool added = false;
  ASSERT_TRUE(file->AddUser("carol", "hash-c", 5, added, error) && added);
  ASSERT_TRUE(file->AddToken("cron", "token-hash", 6, added, error) && added);
  for (int i = 0; i < 1234; ++i) ASSERT_TRUE(file->Audit({0, i, "carol", "10.1.1.1", "api", std::to_string(i)}, error));

  auto pg = OpenPgDeskDb(url, error);
  ASSERT_TRUE(pg) << error;
  ASSERT_TRUE(pg->AddUser("carol", "kept", 1, added, error) && added) << "there before the import";
  ASSERT_TRUE(pg->Audit({0, 99999, "dave", "10.2.2.2", "login", ""}, error));
  DeskImportCounts c;
  ASSERT_TRUE(ImportDeskDb(*file, url, c, error)) << error;
  EXPECT_EQ(c.users, 0u);
  EXPECT_EQ(c.usersThere, 1u);
  EXPECT_EQ(c.tokens, 1u);
  EXPECT_EQ(c.audit, 1234u);
  // A record added to the file since is copied by the next run, alone.
  ASSERT_TRUE(file->Audit({0, 5000, "carol", "10.1.1.1", "raw", "late"}, error));
  ASSERT_TRUE(ImportDeskDb(*file, url, c, error)) << error;
  EXPECT_EQ(c.tokens, 0u);
  EXPECT_EQ(c.tokensThere, 1u);
  EXPECT_EQ(c.audit, 1u);
  EXPECT_EQ(c.auditThere, 1234u);

  std::optional<std::string> hash;
  ASSERT_TRUE(pg->PasswordHash("carol", hash, error) && hash);
  EXPECT_EQ(*hash, "kept");
  std::optional<std::string> token;
  ASSERT_TRUE(pg->TokenName("token-hash", token, error) && token);
  EXPECT_EQ(*token, "cron");
  std::vector<AuditRecord> log;
  ASSERT_TRUE(pg->ReadAuditSince(0, 5000, log, error)) << error;
  ASSERT_EQ(log.size(), 1236u);
  EXPECT_EQ(log[0].user, "dave");
  for (std::size_t i = 1; i < 1235; ++i) EXPECT_EQ(log[i].detail, std::to_string(i - 1)) << "in the file's order";
  EXPECT_EQ(log.back().detail, "late");
}

INSTANTIATE_TEST_SUITE_P(Stores, DeskWebTest, ::testing::Values(Backend::kEmbedded, Backend::kPostgresql),
                         BackendName);

}  // namespace
}  // namespace zandrel::desk::web
