// The receiver on PostgreSQL, against a real server each test starts in a
// directory of its own: the schema made and checked, every report answered
// 200 in the database exactly once whatever fails (the database stopped or
// restarted under load, a receiver killed, a statement refused), and
// retention that drops whole days.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "pg_cluster.h"
#include "platform/gbk.h"
#include "platform/md5.h"
#include "running_server.h"
#include "server/report/report_facts.h"
#include "server/store/pg/pg_rows.h"
#include "server/store/pg/pg_schema.h"
#include "server/store/report_id.h"
#include "sockets.h"
#include "wait.h"

namespace zandrel {
namespace {

using testsupport::PgCluster;
using testsupport::WaitUntil;

#define NEED_POSTGRESQL()                                          \
  if (std::string why = testsupport::PgUnavailable(); !why.empty()) \
  GTEST_SKIP() << why

std::string Report(const std::string& problemUtf8) {
  return platform::Utf8ToGbk("\r\n问题描述：" + problemUtf8 +
                             "\r\nAdapterName : eth0\r\nAdapter Desc: eth0\r\nMAC Addr: \t02-5a-64-72-65-6c\r\n"
                             "IP Address: 10.77.0.2\r\nIP Mask: 255.255.255.0\r\nGateway: 10.77.0.1\r\n"
                             "\\Program Files\\\"引号\"\r\n                a\\b.dll\r\n                c.dll\r\n"
                             "    CPU占用率为：7\r\n");
}

std::string Post(const std::string& body) {
  return "POST /test_log HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nfile_flag: " + platform::md5_hex_upper(body.data(), body.size()) + "\r\n\r\n" + body;
}

std::string Send(uint16_t port, const std::string& request) {
  testsock::Socket s(testsock::Connect(port));
  if (s.get() == testsock::kNoSocket || !testsock::SendAll(s.get(), request)) return "";
  return testsock::ReadUntilClosed(s.get());
}

int StatusOf(const std::string& answer) {
  return answer.size() >= 12 && answer.compare(0, 9, "HTTP/1.1 ") == 0 ? std::stoi(answer.substr(9, 3)) : 0;
}

std::string IdOf(const std::string& answer) {
  const std::string key = "\r\nX-Report-Id: ";
  std::size_t at = answer.find(key);
  return at == std::string::npos ? "" : answer.substr(at + key.size(), 9);
}

// Rows in the database by report id text, and by body digest.
struct Rows {
  std::map<std::string, int> byId;
  std::map<std::string, int> byMd5;
};
Rows ReadRows(const std::string& url) {
  Rows rows;
  store::pg::Connection conn;
  store::pg::PgError e;
  if (!conn.Connect(url, e)) return rows;
  store::pg::Result r = conn.Query("SELECT id, md5 FROM reports", {}, e);
  if (!r) return rows;
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    ++rows.byId[store::ReportIdText(std::stoull(PQgetvalue(r.get(), i, 0)))];
    ++rows.byMd5[PQgetvalue(r.get(), i, 1)];
  }
  return rows;
}

std::unique_ptr<testsupport::RunningServer> Receiver(const std::string& url, uint32_t keepDays = 0) {
  return std::make_unique<testsupport::RunningServer>([&](server::ServerOptions& o) {
    o.database = url;
    o.reportsPerMinute = 0;
    o.keepDays = keepDays;
  });
}

// Clients posting reports, each one new, until told to stop; every answer
// kept with when its upload started and ended.
class Uploaders {
 public:
  struct Answer {
    std::chrono::steady_clock::time_point start, end;
    int status = 0;
    std::string id, md5, answer;
  };
  Uploaders(std::vector<uint16_t> ports, int clients, int each = 1 << 30) {
    for (int t = 0; t < clients; ++t) {
      threads_.emplace_back([this, ports, t, each] {
        for (int i = 0; i < each && !stop_; ++i) {
          std::string body = Report("客户端" + std::to_string(t) + " 第" + std::to_string(i) + "份");
          Answer a;
          a.md5 = platform::md5_hex_upper(body.data(), body.size());
          a.start = std::chrono::steady_clock::now();
          // A client whose receiver is gone goes to the next one.
          for (std::size_t k = 0; k < ports.size() && a.status == 0; ++k) {
            a.answer = Send(ports[(static_cast<std::size_t>(t) + k) % ports.size()], Post(body));
            a.status = StatusOf(a.answer);
          }
          a.end = std::chrono::steady_clock::now();
          a.id = IdOf(a.answer);
          std::lock_guard<std::mutex> lock(mu_);
          answers_.push_back(std::move(a));
          if (answers_.back().status == 503 || answers_.back().status == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
        }
      });
    }
  }
  ~Uploaders() { Join(); }
  // Stops them after their upload under way.
  void Join() {
    stop_ = true;
    Wait();
  }
  // Waits for every client to have sent all it was to.
  void Wait() {
    for (auto& t : threads_) {
      if (t.joinable()) t.join();
    }
  }
  std::vector<Answer> answers() {
    std::lock_guard<std::mutex> lock(mu_);
    return answers_;
  }
  std::size_t Count(int status) {
    std::lock_guard<std::mutex> lock(mu_);
    std::size_t n = 0;
    for (const auto& a : answers_) n += a.status == status;
    return n;
  }

 private:
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<Answer> answers_;
  std::vector<std::thread> threads_;
};

// Every report answered 200 has exactly one row, and no upload has two.
void ExpectEachAnsweredStoredOnce(const std::vector<Uploaders::Answer>& answers, const Rows& rows) {
  std::size_t ok = 0;
  for (const auto& a : answers) {
    if (a.status != 200) continue;
    ++ok;
    auto it = rows.byId.find(a.id);
    EXPECT_TRUE(it != rows.byId.end() && it->second == 1) << a.id << " answered 200";
  }
  for (const auto& [md5, n] : rows.byMd5) EXPECT_EQ(n, 1) << "one upload stored " << n << " times: " << md5;
  EXPECT_GT(ok, 0u);
}

TEST(PgSchema, MigrateIsRepeatableAndReceiversRefuseASchemaNotTheirs) {
  NEED_POSTGRESQL();
  PgCluster db(false);
  ASSERT_EQ(db.error(), "");
  testsupport::TempDir dir("zandrel-pg-refused");
  server::ServerOptions opt = testsupport::TestServerOptions(dir.path());
  opt.database = db.url();
  std::string error;
  EXPECT_FALSE(server::ReportServer(opt).Start(error));
  EXPECT_NE(error.find("zandrel-desk --database URL migrate"), std::string::npos) << error;

  const std::string desk = std::string(ZANDREL_DESK_BIN) + " --database '" + db.url() + "' migrate 2>&1";
  testsupport::CommandResult first = testsupport::RunCommand(desk);
  EXPECT_EQ(first.exitCode, 0) << first.out;
  testsupport::CommandResult again = testsupport::RunCommand(desk);
  EXPECT_EQ(again.exitCode, 0) << again.out;
  EXPECT_EQ(db.Sql("SELECT count(*) FROM zandrel_schema"), std::to_string(store::pg::kSchemaVersion));
  EXPECT_TRUE(server::ReportServer(opt).Start(error)) << error;

  db.Sql("INSERT INTO zandrel_schema(version) VALUES (" + std::to_string(store::pg::kSchemaVersion + 1) + ")");
  EXPECT_FALSE(server::ReportServer(opt).Start(error));
  EXPECT_NE(error.find("newer"), std::string::npos) << error;
  EXPECT_NE(error.find("migrate"), std::string::npos) << error;
  EXPECT_NE(testsupport::RunCommand(desk).exitCode, 0);
}

// The row holds the body's exact bytes and the record read from it; texts
// with quotes and backslashes (module paths) survive the array literals.
TEST(PgStore, TheRowHoldsTheBodyAndItsRecord) {
  NEED_POSTGRESQL();
  PgCluster db;
  ASSERT_EQ(db.error(), "");
  auto receiver = Receiver(db.url());
  ASSERT_TRUE(receiver->started()) << receiver->error();
  std::string body = Report("画面卡顿 \"引号\" \\反斜杠") + std::string(1, '\0') + "\xff";
  std::string answer = Send(receiver->port(), Post(body));
  ASSERT_EQ(StatusOf(answer), 200) << answer;
  std::string id = IdOf(answer);
  auto parsed = store::ParseReportId(id);
  ASSERT_TRUE(parsed);
  std::string where = " FROM reports WHERE id = " + std::to_string(*parsed);
  EXPECT_EQ(db.Sql("SELECT md5(body) = lower(md5) AND octet_length(body) = size" + where), "t");
  report::ReportFacts facts = report::ReadReport(body);
  ASSERT_TRUE(facts.problem);
  EXPECT_EQ(db.Sql("SELECT problem" + where), store::pg::CleanText(*facts.problem));
  EXPECT_EQ(db.Sql("SELECT macs[1]" + where), "2587255530860");  // 02-5a-64-72-65-6c
  EXPECT_EQ(db.Sql("SELECT host(sender)" + where), "127.0.0.1");
  EXPECT_EQ(db.Sql("SELECT cpu_percent" + where), "7");
  ASSERT_EQ(facts.modules.size(), 2u);
  EXPECT_EQ(db.Sql("SELECT array_length(modules, 1)" + where), "2");
  for (std::size_t i = 0; i < facts.modules.size(); ++i) {
    EXPECT_EQ(db.Sql("SELECT modules[" + std::to_string(i + 1) + "]" + where), facts.modules[i]);
  }
  // The same bytes again: the stored report's id, no second row.
  std::string again = Send(receiver->port(), Post(body));
  EXPECT_EQ(IdOf(again), id) << again;
  EXPECT_EQ(db.Sql("SELECT count(*) FROM reports"), "1");
}

// Receivers name a report's modules by the ids they keep, and append the
// day counts; a writer that gives no ids leaves both to the database. Either
// way the search rows and the counts (folded or not) are what the reports say.
TEST(PgStore, ModuleIdsAndDayCountsAgreeWithTheReportsWhoeverWroteThem) {
  NEED_POSTGRESQL();
  PgCluster db;
  ASSERT_EQ(db.error(), "");
  auto first = Receiver(db.url());
  auto second = Receiver(db.url());
  ASSERT_TRUE(first->started() && second->started());
  std::vector<std::thread> senders;
  std::atomic<int> stored{0};
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        // Shared, per-sender and per-report modules; one listed twice.
        std::string body = platform::Utf8ToGbk("\r\n问题描述：模块" + std::to_string(t * 100 + i) +
                                               "\r\n\\Windows\r\n                a.dll\r\n                s" +
                                               std::to_string(t) + ".dll\r\n                r" +
                                               std::to_string(t * 100 + i) + ".dll\r\n                a.dll\r\n");
        stored += StatusOf(Send((t % 2 ? second : first)->port(), Post(body))) == 200;
      }
    });
  }
  for (auto& s : senders) s.join();
  ASSERT_EQ(stored, 40);
  first.reset();
  second.reset();
  // As a writer that knows no ids stores: one new module, one known.
  ASSERT_EQ(db.Sql("INSERT INTO reports (id, received, sender, addresses, size, md5, adapters, macs, modules, "
                   "channel_ids, parse_errors, body) SELECT id + 64000, received, sender, addresses, size, md5, "
                   "adapters, macs, ARRAY['\\Windows\\new.dll', modules[1]], channel_ids, parse_errors, body "
                   "FROM reports LIMIT 1"),
            "");
  EXPECT_EQ(db.Sql("SELECT count(*) FROM reports WHERE module_ids IS NOT NULL"), "40");
  EXPECT_EQ(db.Sql("SELECT count(*) FROM reports r JOIN report_search s USING (id, received) WHERE s.modules = "
                   "ARRAY(SELECT m.mid FROM unnest(r.modules) WITH ORDINALITY u(p, n) JOIN module m ON m.path = u.p "
                   "ORDER BY u.n) AND cardinality(s.modules) = cardinality(r.modules)"),
            "41");
  const std::string wrongCounts =
      "SELECT count(*) FROM (SELECT day, mid, sum(n) AS n FROM (SELECT day, mid, n FROM module_day UNION ALL "
      "SELECT a.day, u.mid, u.n FROM module_day_added a, unnest(a.mids, a.ns) u(mid, n)) c GROUP BY 1, 2) kept FULL JOIN (SELECT (rid / 64 / 86400000)::integer "
      "AS day, mid, count(DISTINCT rid) AS n FROM report_search, unnest(modules) mid GROUP BY 1, 2) truth "
      "USING (day, mid) WHERE kept.n IS DISTINCT FROM truth.n";
  EXPECT_EQ(db.Sql(wrongCounts), "0");
  EXPECT_NE(db.Sql("SELECT count(*) FROM module_day_added"), "0");
  db.Sql("SELECT zandrel_fold_module_days()");
  EXPECT_EQ(db.Sql("SELECT count(*) FROM module_day_added"), "0");
  EXPECT_EQ(db.Sql(wrongCounts), "0");
  EXPECT_EQ(db.Sql("SELECT sum(n) FROM module_day d JOIN module m USING (mid) WHERE m.path = '\\Windows\\a.dll'"), "41");
}

// A report's position (ms * 64 + arrival modulo 64) taken already by a
// report of the same millisecond stored before: stored anyway, at another.
TEST(PgStore, APositionTakenAlreadyIsNotARefusal) {
  NEED_POSTGRESQL();
  PgCluster db;
  ASSERT_EQ(db.error(), "");
  // Every arrival now comes out as 0 modulo 64, and position 0 of each
  // millisecond of the next minute is taken.
  ASSERT_EQ(db.Sql("SELECT setval('report_arrival', 64); ALTER SEQUENCE report_arrival INCREMENT BY 64; "
                   "INSERT INTO report_search (rid, id, received, tokens, macs, modules) "
                   "SELECT ms * 64, 1099511627776 + ms, to_timestamp(ms / 1000.0), '{}', '{}', '{}' FROM "
                   "generate_series((extract(epoch FROM now()) * 1000)::bigint, "
                   "(extract(epoch FROM now()) * 1000)::bigint + 60000) ms"),
            "");
  auto receiver = Receiver(db.url());
  ASSERT_TRUE(receiver->started()) << receiver->error();
  for (int i = 0; i < 5; ++i) {
    std::string answer = Send(receiver->port(), Post(Report("位置" + std::to_string(i))));
    ASSERT_EQ(StatusOf(answer), 200) << answer;
  }
  EXPECT_EQ(db.Sql("SELECT count(*) FROM reports r JOIN report_search s USING (id, received) WHERE s.rid % 64 <> 0"),
            "5");
}

TEST(PgRows, TextsAreMadeAcceptableAndArraysQuoted) {
  EXPECT_EQ(store::pg::CleanText(std::string("a\0b", 3)), "ab");
  EXPECT_EQ(store::pg::CleanText("\xe4\xb8\xad\xff\xe4\xb8"), "\xe4\xb8\xad\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(store::pg::CleanText("\xc0\xaf"), "\xef\xbf\xbd\xef\xbf\xbd");  // an overlong '/'
  EXPECT_EQ(store::pg::CleanText("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");  // a surrogate
  EXPECT_EQ(store::pg::ArrayLiteral({}), "{}");
  EXPECT_EQ(store::pg::ArrayLiteral({"a\"b", "c\\d", "", "NULL"}), R"({"a\"b","c\\d","","NULL"})");
}

TEST(PgRows, ModuleIdsAreAskedOnceAndDayCountsCountAReportOnceADay) {
  store::pg::ModuleIdCache cache;
  EXPECT_EQ(cache.Unknown({{"a", "b", "a"}, {"b", "c\"d"}}), R"({"a","b","c\"d"})");
  cache.Learn("a", 7);
  cache.Learn("b", 3);
  EXPECT_EQ(cache.Unknown({{"a", "b"}, {"b"}}), "");
  std::vector<int32_t> ids;
  EXPECT_TRUE(cache.Ids({"b", "a", "b"}, ids));
  EXPECT_EQ(ids, (std::vector<int32_t>{3, 7, 3}));
  EXPECT_FALSE(cache.Ids({"a", "c\"d"}, ids));

  store::pg::ModuleDayCounts days;
  const int64_t lastMsOfDay1 = 2 * store::pg::kDayMs - 1;
  days.Add(lastMsOfDay1, {3, 7, 3});
  days.Add(lastMsOfDay1 - 5, {7});
  days.Add(lastMsOfDay1 + 1, {7});
  EXPECT_EQ(days.Params(), (std::array<std::string, 3>{"{1,1,2}", "{3,7,7}", "{1,2,1}"}));
  EXPECT_EQ(store::pg::ModuleDayCounts().Params(), (std::array<std::string, 3>{"{}", "{}", "{}"}));
}

// The database stopped while clients upload: 503 with Retry-After, never
// 200; UDP and the speed file go on; storing resumes by itself.
TEST(PgFaults, DatabaseStoppedAnswers503AndStoringResumes) {
  NEED_POSTGRESQL();
  PgCluster db;
  ASSERT_EQ(db.error(), "");
  auto receiver = Receiver(db.url());
  ASSERT_TRUE(receiver->started()) << receiver->error();
  Uploaders clients({receiver->port()}, 4);
  ASSERT_TRUE(WaitUntil([&] { return clients.Count(200) >= 20; }, 60000));
  ASSERT_TRUE(db.Stop("fast"));
  auto stopped = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil([&] { return clients.Count(503) >= 20; }, 60000));

  testsock::Socket udp(testsock::UdpBound());
  EXPECT_TRUE(WaitUntil([&] {
    testsock::SendTo(udp.get(), "test_udp", receiver->udp_port());
    if (!testsock::WaitReadable(udp.get(), 100)) return false;
    char buf[64];
    long n = testsock::Recv(udp.get(), buf, sizeof buf);
    return n == 8 && std::string(buf, 8) == "test_udp";
  }, 10000));
  std::string speed = Send(receiver->port(), "GET /speedtest/zandrel-speed.bin HTTP/1.1\r\nRange: bytes=0-99\r\n\r\n");
  EXPECT_EQ(StatusOf(speed), 206) << speed.substr(0, 100);

  auto restarting = std::chrono::steady_clock::now();
  ASSERT_TRUE(db.Start());
  std::size_t before = clients.Count(200);
  EXPECT_TRUE(WaitUntil([&] { return clients.Count(200) >= before + 20; }, 60000));
  clients.Join();
  std::size_t refused = 0;
  for (const auto& a : clients.answers()) {
    if (a.start < stopped || a.end > restarting) continue;
    EXPECT_NE(a.status, 200) << "answered 200 while the database was stopped";
    if (a.status == 503) {
      EXPECT_NE(a.answer.find("\r\nRetry-After: "), std::string::npos);
      ++refused;
    }
  }
  EXPECT_GT(refused, 0u);
  receiver.reset();
  ExpectEachAnsweredStoredOnce(clients.answers(), ReadRows(db.url()));
}

// A fast shutdown and start under load: what was answered 200 is there,
// and no upload twice, though commits in flight lost their answer.
TEST(PgFaults, RestartUnderLoadLosesAndDoublesNothing) {
  NEED_POSTGRESQL();
  PgCluster db;
  ASSERT_EQ(db.error(), "");
  auto receiver = Receiver(db.url());
  ASSERT_TRUE(receiver->started()) << receiver->error();
  Uploaders clients({receiver->port()}, 8);
  for (int round = 0; round < 3; ++round) {
    std::size_t before = clients.Count(200);
    ASSERT_TRUE(WaitUntil([&] { return clients.Count(200) >= before + 30; }, 60000));
    ASSERT_TRUE(db.Stop("fast"));
    ASSERT_TRUE(db.Start());
  }
  std::size_t before = clients.Count(200);
  EXPECT_TRUE(WaitUntil([&] { return clients.Count(200) >= before + 30; }, 60000));
  clients.Join();
  receiver.reset();
  ExpectEachAnsweredStoredOnce(clients.answers(), ReadRows(db.url()));
}

#ifdef ZANDREL_SERVER_BIN
// Two receivers on one database; one is killed with SIGKILL during 200
// uploads. Every report answered 200 is stored once, the ids of the two
// never meet, and the other receiver goes on serving. A client whose answer
// was lost with the receiver sends the same report to the other, which
// finds it stored and answers with its id.
TEST(PgFaults, AKilledReceiverLosesNothingItAnsweredAndTheOtherServes) {
  NEED_POSTGRESQL();
  PgCluster db;
  ASSERT_EQ(db.error(), "");
  testsupport::TempDir dir("zandrel-pg-killed");
  auto start = [&](uint16_t port) {
    pid_t pid = fork();
    if (pid == 0) {
      execl(ZANDREL_SERVER_BIN, "zandrel-report-server", "--database", db.url().c_str(), "--data-dir",
            dir.path().c_str(), "--http-port", std::to_string(port).c_str(), "--udp-port", "0", "--hint-port", "0",
            "--reports-per-minute", "0", "--quiet", static_cast<char*>(nullptr));
      _exit(127);
    }
    EXPECT_TRUE(WaitUntil([&] { return testsock::Socket(testsock::Connect(port)).get() != testsock::kNoSocket; },
                          30000));
    return pid;
  };
  uint16_t portA = testsock::ClosedPort();
  pid_t a = start(portA);
  uint16_t portB = testsock::ClosedPort();
  pid_t b = start(portB);
  std::mt19937 random(std::random_device{}());
  const std::size_t killAfter = std::uniform_int_distribution<std::size_t>(20, 150)(random);
  Uploaders clients({portA, portB}, 4, 50);
  ASSERT_TRUE(WaitUntil([&] { return clients.Count(200) >= killAfter; }, 60000));
  kill(a, SIGKILL);
  waitpid(a, nullptr, 0);
  clients.Wait();
  std::size_t afterKill = 0;
  for (const auto& x : clients.answers()) afterKill += x.status == 200 && x.answer.size() > 0;
  EXPECT_GE(afterKill, killAfter);
  // Still serving alone.
  std::string answer = Send(portB, Post(Report("只剩一个")));
  EXPECT_EQ(StatusOf(answer), 200) << answer;
  kill(b, SIGTERM);
  waitpid(b, nullptr, 0);
  auto answers = clients.answers();
  EXPECT_EQ(answers.size(), 200u);
  ExpectEachAnsweredStoredOnce(answers, ReadRows(db.url()));
}
#endif

// A statement the database refuses (here a trigger, as a full disk would):
// 507 for the report it concerns, nothing of it kept; the others of the
// same batch are stored.
TEST(PgFaults, ARefusedStatementIs507AndKeepsNothingOfTheReport) {
  NEED_POSTGRESQL();
  PgCluster db;
  ASSERT_EQ(db.error(), "");
  ASSERT_EQ(db.Sql("CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
                   "IF NEW.problem LIKE '%拒绝%' THEN RAISE EXCEPTION 'refused by the test'; END IF; RETURN NEW; END $$;"
                   "CREATE TRIGGER refuse BEFORE INSERT ON reports FOR EACH ROW EXECUTE FUNCTION refuse()"),
            "");
  auto receiver = Receiver(db.url());
  ASSERT_TRUE(receiver->started()) << receiver->error();
  std::mutex mu;
  std::map<std::string, std::string> answers;  // problem -> answer
  std::vector<std::thread> clients;
  for (int i = 0; i < 16; ++i) {
    clients.emplace_back([&, i] {
      std::string problem = (i % 4 == 0 ? "拒绝" : "接受") + std::to_string(i);
      std::string answer = Send(receiver->port(), Post(Report(problem)));
      std::lock_guard<std::mutex> lock(mu);
      answers[problem] = answer;
    });
  }
  for (auto& t : clients) t.join();
  for (const auto& [problem, answer] : answers) {
    if (problem.rfind("拒绝", 0) == 0) {
      EXPECT_EQ(StatusOf(answer), 507) << problem;
    } else {
      EXPECT_EQ(StatusOf(answer), 200) << problem;
    }
  }
  EXPECT_EQ(db.Sql("SELECT count(*) FROM reports WHERE problem LIKE '拒绝%'"), "0");
  EXPECT_EQ(db.Sql("SELECT count(*) FROM reports WHERE problem LIKE '接受%'"), "12");
  db.Sql("DROP TRIGGER refuse ON reports");
  EXPECT_EQ(StatusOf(Send(receiver->port(), Post(Report("拒绝 no more")))), 200);
}

// --keep-days: days wholly older than that go as whole partitions, at the
// receiver's start; the rest stay.
TEST(PgRetention, WholeDaysPastKeepDaysAreDropped) {
  NEED_POSTGRESQL();
  PgCluster db;
  ASSERT_EQ(db.error(), "");
  const char* insert =
      "INSERT INTO reports (id, received, sender, addresses, size, md5, adapters, macs, modules, channel_ids, "
      "parse_errors, body) VALUES (%d, now() - interval '%d days', '10.0.0.1', '{10.0.0.1}', 1, 'X', '[]', '{}', '{}', "
      "'{}', 0, 'x')";
  for (int days : {10, 6, 4, 1}) {
    ASSERT_EQ(db.Sql("SELECT zandrel_make_partition((now() - interval '" + std::to_string(days) + " days')::date)"),
              "");
    char sql[512];
    std::snprintf(sql, sizeof sql, insert, days, days);
    ASSERT_EQ(db.Sql(sql), "");
  }
  auto receiver = Receiver(db.url(), 5);
  ASSERT_TRUE(receiver->started()) << receiver->error();
  EXPECT_EQ(db.Sql("SELECT string_agg(id::text, ',' ORDER BY id) FROM reports"), "1,4");
  EXPECT_EQ(db.Sql("SELECT to_regclass('reports_' || to_char(now() - interval '10 days', 'YYYYMMDD')) IS NULL"), "t");
  EXPECT_EQ(db.Sql("SELECT to_regclass('reports_' || to_char(now() + interval '7 days', 'YYYYMMDD')) IS NOT NULL"),
            "t");
}

}  // namespace
}  // namespace zandrel
