// The desk's web side driven in process: who may see what, sign-in and its
// backoff, CSRF, cookies, the security fields of every answer, hostile
// filters and paths, raw bytes, CSV export and the audit log.
#include <gtest/gtest.h>

#include <fstream>
#include <atomic>
#include <map>
#include <thread>
#include <set>

#include <nlohmann/json.hpp>

#include "server/desk/desk_db.h"
#include "server/desk/secrets.h"
#include "server/desk/web/desk_server.h"
#include "server/store/report_index.h"
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

class DeskWebTest : public ::testing::Test {
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
    MakeHandler(false);
  }

  void MakeHandler(bool secure, std::vector<store::Ipv4Range> proxies = {}) {
    handler_.reset();
    ServeOptions o;
    o.dataDir = dir_.path();
    o.indexPath = dir_ / "index.sqlite";
    o.secureCookies = secure;
    o.trustedProxies = std::move(proxies);
    o.clock = [this] { return now_; };
    o.quiet = true;
    std::string error;
    auto db = OpenSqliteDeskDb(dir_ / "desk.sqlite", error);
    ASSERT_TRUE(db) << error;
    handler_ = std::make_unique<DeskHandler>(std::move(o), std::move(db));
  }

  Response Send(const std::string& request, uint32_t from = kClient) {
    server::HttpLimits limits;
    limits.quiet = true;
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
  std::unique_ptr<DeskDb> other_;  // as another process (the user command) would see it
  std::unique_ptr<DeskHandler> handler_;
};

const char* const kPages[] = {"/", "/?q=x", "/dashboard", "/audit", "/reports/7K3M-QX9P", "/reports/7K3M-QX9P/raw",
                              "/nowhere"};
const char* const kApi[] = {"/api/reports", "/api/reports/7K3M-QX9P", "/api/reports.csv", "/api/nowhere"};

TEST_F(DeskWebTest, AccessWithoutASessionIsRedirectedOrRefused) {
  for (const char* page : kPages) {
    Response r = Get(page);
    EXPECT_EQ(r.code, 303) << page;
    EXPECT_EQ(r.Field("location"), "/login") << page;
    // A session id that was never given, and one in the wrong cookie.
    EXPECT_EQ(Get(page, Cookie("00112233445566778899aabbccddeeff")).code, 303) << page;
    EXPECT_EQ(Get(page, "Authorization: Bearer " + token_ + "\r\n").code, 303) << "a token opens no page: " << page;
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

TEST_F(DeskWebTest, ASessionEndsWithItsUserOrWhenIdle) {
  std::string alice = Login("alice"), bob = Login("bob");
  ASSERT_EQ(alice.size(), 32u) << "128 random bits";
  EXPECT_NE(alice, bob);
  EXPECT_EQ(Get("/", Cookie(alice)).code, 200);
  bool removed = false;
  std::string error;
  ASSERT_TRUE(other_->RemoveUser("alice", removed, error) && removed);
  EXPECT_EQ(Get("/", Cookie(alice)).code, 303) << "removed in another process, refused at once";
  EXPECT_EQ(Get("/api/reports", Cookie(alice)).code, 401);
  // Bob's session lives while used within 12 hours, and ends after 12 idle ones.
  now_ += kSessionIdleMs - 60000;
  EXPECT_EQ(Get("/", Cookie(bob)).code, 200);
  now_ += kSessionIdleMs - 60000;
  EXPECT_EQ(Get("/", Cookie(bob)).code, 200);
  now_ += kSessionIdleMs + 1;
  EXPECT_EQ(Get("/", Cookie(bob)).code, 303);
}

TEST_F(DeskWebTest, PostsNeedTheRightCsrfToken) {
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
  EXPECT_EQ(Get("/", Cookie(session)).code, 303) << "signed out";

  // The sign-in form: its token must come back in both the cookie and the field.
  Response form = Get("/login");
  std::string token = SetCookieValue(form, kLoginCookie);
  std::string body = "user=alice&password=correct+horse&csrf=" + token;
  EXPECT_EQ(Post("/login", body).code, 403) << "no cookie";
  EXPECT_EQ(Post("/login", "user=alice&password=correct+horse",
                 "Cookie: " + std::string(kLoginCookie) + "=" + token + "\r\n").code, 403);
  EXPECT_EQ(Post("/login", body, "Cookie: " + std::string(kLoginCookie) + "=" + RandomHex(16) + "\r\n").code, 403);
}

TEST_F(DeskWebTest, CookiesAreHttpOnlyStrictAndSecureWhenAsked) {
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

TEST_F(DeskWebTest, FiveWrongPasswordsLockTheUserAndTheAddressForFifteenMinutes) {
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

TEST_F(DeskWebTest, EveryKindOfAnswerCarriesTheSecurityFields) {
  std::string session = Login();
  std::string id = records_[0].id;
  std::vector<Response> answers = {
      Get("/"), Get("/", Cookie(session)), Get("/login"), Get("/api/reports"), Get("/static/desk.js"),
      Get("/static/none.js"), Get("/reports/" + id, Cookie(session)), Get("/reports/" + id + "/raw", Cookie(session)),
      Get("/reports/0000-0000", Cookie(session)), Get("/dashboard", Cookie(session)), Get("/audit", Cookie(session)),
      Get("/api/reports.csv?limit=5", Cookie(session)), Get("/api/reports?ip=x", Cookie(session)),
      Post("/logout", "csrf=bad", Cookie(session)), Send("DELETE / HTTP/1.1\r\n\r\n"),
      Post("/login", std::string(kMaxFormBytes + 1, 'a')), TryLogin("alice", "wrong")};
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
  EXPECT_EQ(codes, (std::set<int>{200, 303, 400, 401, 403, 404, 405, 413}));
  for (std::size_t i : {1, 6, 7, 9, 10, 11}) EXPECT_EQ(answers[i].Field("cache-control"), "no-store") << i;
}

// What a database error would show (the values tried are echoed in the form,
// so their own words are not looked for).
const char* const kLeaks[] = {"SQL logic", "syntax error", "no such", "unrecognized token", "database", "SQLITE_"};

TEST_F(DeskWebTest, HostileFilterValuesGiveAnErrorOrTheRightRows) {
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

TEST_F(DeskWebTest, OnlyReportIdsNameReports) {
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
  store::ReportIndex index;
  ASSERT_TRUE(index.Open(dir_ / "index.sqlite").ok);
  std::vector<store::IndexedFile> gone;
  ASSERT_TRUE(index.Remove({id}, gone).ok);
  EXPECT_EQ(Get("/reports/" + id, Cookie(session)).code, 404);
  EXPECT_EQ(Get("/reports/" + id + "/raw", Cookie(session)).code, 404);
  EXPECT_EQ(Get("/api/reports/" + id, Cookie(session)).code, 404);
}

TEST_F(DeskWebTest, CsvExportIsUtf8WithABomAndHoldsEveryMatchAcrossPages) {
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

TEST_F(DeskWebTest, ATokenReadsTheApiAndEveryReadIsAudited) {
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

TEST_F(DeskWebTest, ATrustedProxyNamesTheClient) {
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
TEST_F(DeskWebTest, OverASocketAStalledClientHoldsNobodyUp) {
  ServeOptions o;
  o.dataDir = dir_.path();
  o.indexPath = dir_ / "index.sqlite";
  o.quiet = true;
  std::string error;
  auto db = OpenSqliteDeskDb(dir_ / "desk.sqlite", error);
  ASSERT_TRUE(db) << error;
  server::HttpLimits limits;
  limits.quiet = true;
  DeskServer desk(std::move(o), std::move(db), limits);
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

}  // namespace
}  // namespace zandrel::desk::web
