// zandrel-desk as operators run it, over a data directory of stored reports
// written as the receiver names them: reports of the real tool, variants with
// hostile problem texts, a body that is no report at all. Each test runs
// twice: over the data directory's index, and over a PostgreSQL store the
// data directory was imported into.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "command.h"
#include "pg_server.h"
#include "platform/files.h"
#include "platform/gbk.h"
#include "platform/md5.h"
#include "server/store/pg/pg_query.h"
#include "server/store/report_file.h"
#include "server/store/report_id.h"
#include "sockets.h"
#include "temp_dir.h"
#include "wait.h"

namespace {

using nlohmann::json;
using zandrel::store::ReportIdForSequence;
using zandrel::store::ReportIdText;

constexpr int64_t kMay1 = 1714521600000;  // 2024-05-01T00:00:00Z
constexpr int64_t kDay = 86400000;

std::string Sample(const std::string& name) {
  std::string body;
  EXPECT_TRUE(zandrel::platform::ReadWholeFile(std::string(ZANDREL_TEST_DATA) + "/" + name, body)) << name;
  return body;
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  std::size_t at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

struct Stored {
  std::string id, file, body;
};

struct Outcome {
  int exit = -1;
  std::string out, err;
};

// One PostgreSQL server for the process, started at first use.
testsupport::PgServer& Postgres() {
  static testsupport::PgServer server;  // stopped when the process ends
  static bool started = [] {
    if (!server.Start()) ADD_FAILURE() << server.why();
    return true;
  }();
  (void)started;
  return server;
}

// The parameter: whether the desk reads a PostgreSQL store.
class Desk : public ::testing::TestWithParam<bool> {
 protected:
  // The problem text of the variant report: quotes, a backslash, control
  // characters and a terminal escape among Chinese words.
  const std::string kHostile = "引号\"和\\反斜杠\x01\x1b[31m 卡顿 slow";

  void SetUp() override {
    if (GetParam()) {
      database_ = Postgres().CreateDatabase("desk");
      auto migrated = testsupport::RunCommand(std::string(ZANDREL_DESK_BIN) + " --database '" + database_ + "' migrate");
      ASSERT_EQ(migrated.exitCode, 0) << migrated.out;
    }
    std::string ok = Sample("report-linux-ok.txt");
    a_ = Store(1, kMay1 + 8 * 3600000 + 123, 0x0A000007, ok);
    b_ = Store(2, kMay1 + kDay + 9 * 3600000, 0x0A000008, Sample("report-linux-silent.txt"));
    c_ = Store(3, kMay1 + 2 * kDay, 0xC0A80114, Sample("report-wine.txt"));
    std::string variant = ok;
    variant = Replace(variant, zandrel::platform::Utf8ToGbk("问题描述：画面卡顿，黑屏 (sample)"),
                      zandrel::platform::Utf8ToGbk("问题描述：" + kHostile));
    variant = Replace(variant, "80659K/s", "512K/s");
    variant = Replace(variant, "02-5a-64-72-65-6c", "0a-0b-0c-0d-0e-0f");
    d_ = Store(4, kMay1 + 3 * kDay, 0x0A000009, variant);
    e_ = Store(5, kMay1 + 4 * kDay, 0x0A00000A, std::string("not a report\0at all\r\n", 22));
    // Files that are no report's are left alone.
    zandrel::platform::WriteWholeFile(dir_ / "Hint.html", "<p>hint</p>", 11);
  }

  Stored Store(uint64_t sequence, int64_t received, uint32_t sender, const std::string& body) {
    zandrel::store::ReportFileName name;
    name.received = received;
    name.sequence = sequence;
    name.id = ReportIdForSequence(sequence);
    name.sender = sender;
    name.md5 = zandrel::platform::md5_hex_upper(body.data(), body.size());
    Stored s{ReportIdText(name.id), zandrel::store::ReportFileNameText(name), body};
    EXPECT_TRUE(zandrel::platform::WriteWholeFile(dir_ / s.file, body.data(), body.size()));
    return s;
  }

  // The desk over the store of the test; reindex always over the data directory.
  Outcome RunDesk(const std::string& args) {
    std::string err_file = dir_ / "desk-stderr";
    Outcome r;
    std::string store = " --data-dir " + dir_.path();
    if (!database_.empty() && args.rfind("reindex", 0) != 0) store += " --database '" + database_ + "'";
    auto result = testsupport::RunCommand(std::string(ZANDREL_DESK_BIN) + store + " " + args + " 2>" + err_file);
    r.exit = result.exitCode;
    r.out = result.out;
    zandrel::platform::ReadWholeFile(err_file, r.err);
    std::remove(err_file.c_str());
    return r;
  }

  // The ids of a --json search, in order; every line must be a JSON object.
  std::vector<std::string> JsonIds(const std::string& filters, std::vector<json>* records = nullptr) {
    Outcome r = RunDesk("search --json " + filters);
    EXPECT_EQ(r.exit, 0) << filters << ": " << r.err;
    std::vector<std::string> ids;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      json j = json::parse(line);
      ids.push_back(j.at("id"));
      if (records) records->push_back(j);
    }
    // "N matched" or, for one page of more, "M matched, N shown".
    std::string n = std::to_string(ids.size());
    EXPECT_TRUE(r.err.rfind(n + " matched", 0) == 0 || r.err.find(", " + n + " shown") != std::string::npos) << r.err;
    return ids;
  }

  // The index made, and with PostgreSQL the reports imported.
  void Reindex() {
    Outcome r = RunDesk("reindex");
    ASSERT_EQ(r.exit, 0) << r.err;
    if (GetParam()) Import();
  }

  void Import() {
    Outcome r = RunDesk("import");
    ASSERT_EQ(r.exit, 0) << r.err;
  }

  testsupport::TempDir dir_{"zandrel-desk"};
  std::string database_;
  Stored a_, b_, c_, d_, e_;
};

using Ids = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(Stores, Desk, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Postgres" : "Embedded"; });

TEST_P(Desk, ReindexAddsEveryReportOnceThenEachFilterFindsItsReports) {
  Outcome first = RunDesk("reindex");
  ASSERT_EQ(first.exit, 0) << first.err;
  EXPECT_NE(first.out.find("5 report files; 0 indexed already, 5 added"), std::string::npos) << first.out;
  EXPECT_NE(first.err.find("5/5 files read"), std::string::npos) << first.err;  // the progress line
  Outcome again = RunDesk("reindex");
  EXPECT_NE(again.out.find("5 indexed already, 0 added"), std::string::npos) << again.out;
  if (GetParam()) Import();

  EXPECT_EQ(JsonIds(""), (Ids{e_.id, d_.id, c_.id, b_.id, a_.id}));
  EXPECT_EQ(JsonIds("--q 卡顿"), (Ids{d_.id, c_.id, b_.id, a_.id}));
  EXPECT_EQ(JsonIds("--q SLOW"), (Ids{d_.id}));
  EXPECT_EQ(JsonIds("--mac 0A:0B:0C:0D:0E:0F"), (Ids{d_.id}));
  EXPECT_EQ(JsonIds("--ip 192.168.1.0/24"), (Ids{c_.id}));
  EXPECT_EQ(JsonIds("--ip 10.77.0.2"), (Ids{d_.id, c_.id, b_.id, a_.id}));  // an adapter's address
  EXPECT_EQ(JsonIds("--module ZANDREL-REPORT-SERVER"), (Ids{d_.id, a_.id}));
  EXPECT_EQ(JsonIds("--failed udp,service"), (Ids{b_.id}));
  EXPECT_EQ(JsonIds("--slower-than 1000"), (Ids{d_.id, b_.id}));
  EXPECT_EQ(JsonIds("--from 2024-05-02 --to 2024-05-03"), (Ids{c_.id, b_.id}));
  EXPECT_EQ(JsonIds("--from=2024-05-01T08:00:00.124Z --to 2024-05-02T09:30:00Z"), (Ids{b_.id}));

  // Pages follow one another through the cursor the summary gives.
  Outcome page1 = RunDesk("search --json --limit 2");
  std::size_t at = page1.err.find("--cursor ");
  ASSERT_NE(at, std::string::npos) << page1.err;
  std::string cursor = page1.err.substr(at + 9, page1.err.find('\n', at) - at - 9);
  EXPECT_EQ(JsonIds("--limit 2 --cursor " + cursor), (Ids{c_.id, b_.id}));
}

TEST_P(Desk, JsonLinesCarryTheRecordWithNullsForWhatTheReportLacks) {
  Reindex();
  std::vector<json> records;
  ASSERT_EQ(JsonIds("--from 2024-05-04", &records), (Ids{e_.id, d_.id}));
  const json& d = records[1];
  EXPECT_EQ(d["id"], d_.id);
  EXPECT_EQ(d["received"], "2024-05-04T00:00:00.000Z");
  EXPECT_EQ(d["sender"], "10.0.0.9");
  EXPECT_EQ(d["size"], d_.body.size());
  EXPECT_EQ(d["md5"], zandrel::platform::md5_hex_upper(d_.body.data(), d_.body.size()));
  EXPECT_EQ(d["file"], GetParam() ? "" : d_.file);  // PostgreSQL keeps no files
  EXPECT_EQ(d["problem"], kHostile);  // escaped on the way out, the same text back
  ASSERT_EQ(d["adapters"].size(), 2u);
  EXPECT_EQ(d["adapters"][1]["mac"], "0a-0b-0c-0d-0e-0f");
  EXPECT_EQ(d["adapters"][1]["gateway"], "10.77.0.1");
  EXPECT_GT(d["module_count"], 10);
  EXPECT_EQ(d["speed_kbps"], 512);
  EXPECT_EQ(d["udp_ok"], true);
  EXPECT_EQ(d["channel_ids"], json({"20001", "20002"}));
  EXPECT_EQ(d["parse_errors"], 0);

  const json& e = records[0];
  for (const char* field : {"problem", "cpu_percent", "free_bytes", "udp_ok", "speed_kbps", "service_ok",
                            "channels_ok", "channel_ids"}) {
    EXPECT_TRUE(e[field].is_null()) << field << ": " << e[field];
  }
  EXPECT_EQ(e["adapters"], json::array());
  EXPECT_EQ(e["module_count"], 0);

  // The raw line escapes the control characters rather than carrying them.
  Outcome raw = RunDesk("search --json --mac 0a0b0c0d0e0f");
  EXPECT_NE(raw.out.find(R"(引号\"和\\反斜杠\u0001\u001b[31m)"), std::string::npos) << raw.out;
}

TEST_P(Desk, TableForPeopleShowsEachReportOnOneSafeLine) {
  Reindex();
  Outcome r = RunDesk("search --q 卡顿");
  ASSERT_EQ(r.exit, 0) << r.err;
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 6u) << r.out;  // header, four reports, the count
  EXPECT_EQ(lines[0].rfind("ID", 0), 0u);
  EXPECT_EQ(lines[1].rfind(d_.id + "  2024-05-04 00:00:00  10.0.0.9", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find("512 K/s"), std::string::npos);
  EXPECT_NE(lines[3].find("udp speed service channels"), std::string::npos) << lines[3];
  EXPECT_NE(lines[4].find("画面卡顿，黑屏 (sample)"), std::string::npos) << lines[4];
  EXPECT_EQ(lines[5], "4 matched; last page");
  for (char c : r.out) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << r.out;
  EXPECT_NE(lines[1].find("引号\"和\\反斜杠\uFFFD\uFFFD[31m 卡顿"), std::string::npos) << lines[1];
}

TEST_P(Desk, ShowDecodesTheReportAndRawGivesItsExactBytes) {
  Reindex();
  // Any spelling of the id: lower case, no hyphen.
  std::string spelled = d_.id.substr(0, 4) + d_.id.substr(5);
  for (char& c : spelled) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  Outcome shown = RunDesk("show " + spelled);
  ASSERT_EQ(shown.exit, 0) << shown.err;
  EXPECT_EQ(shown.out.rfind("id:       " + d_.id + "\nreceived: 2024-05-04T00:00:00.000Z\nsender:   10.0.0.9\nsize:     " +
                                std::to_string(d_.body.size()),
                            0),
            0u)
      << shown.out;
  EXPECT_NE(shown.out.find("问题描述：引号\"和\\反斜杠\uFFFD\uFFFD[31m 卡顿 slow\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("UDP检测成功！下载速度为：512K/s\n"), std::string::npos);
  EXPECT_EQ(shown.out.find('\r'), std::string::npos);

  for (const Stored* s : {&a_, &d_, &e_}) {
    Outcome raw = RunDesk("show --raw " + s->id);
    EXPECT_EQ(raw.exit, 0) << raw.err;
    EXPECT_EQ(raw.out, s->body) << s->id;
  }
  if (GetParam()) return;
  // A report stored after the index was built is found by its file name.
  Stored late = Store(6, kMay1 + 5 * kDay, 0x0A00000B, "late report");
  Outcome raw = RunDesk("show --raw " + late.id);
  EXPECT_EQ(raw.exit, 0) << raw.err;
  EXPECT_EQ(raw.out, "late report");
}

TEST_P(Desk, BadValuesAndUnknownIdsAreRefusedWithAMessage) {
  if (!GetParam()) {
    Outcome none = RunDesk("search");
    EXPECT_EQ(none.exit, 1);
    EXPECT_NE(none.err.find("reindex"), std::string::npos) << none.err;  // no index yet: how to make one
  }
  Reindex();
  for (const char* args : {"--slower-than abc", "--ip 10.0.0.0/40", "--from yesterday", "--failed udp,disk",
                           "--limit 501", "--cursor zz", "--mac 12345"}) {
    Outcome r = RunDesk(std::string("search ") + args);
    EXPECT_EQ(r.exit, 2) << args;
    std::string option(args, std::strchr(args, ' '));
    EXPECT_EQ(r.err.rfind("zandrel-desk: " + option + ": ", 0), 0u) << args << ": " << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(RunDesk("search --colour red").exit, 2);
  EXPECT_EQ(RunDesk("show not-an-id!").exit, 2);

  Stored absent{ReportIdText(ReportIdForSequence(99)), "", ""};
  Outcome unknown = RunDesk("show " + absent.id);
  EXPECT_EQ(unknown.exit, 1);
  EXPECT_NE(unknown.err.find("no report " + absent.id), std::string::npos) << unknown.err;
  EXPECT_EQ(unknown.out, "");
}

TEST_P(Desk, ReindexDropsTheRowOfADeletedFileAndAddsNewFiles) {
  if (GetParam()) GTEST_SKIP() << "reindex keeps the data directory's index only";
  Reindex();
  ASSERT_EQ(std::remove((dir_ / a_.file).c_str()), 0);
  Stored late = Store(6, kMay1 + 5 * kDay, 0x0A00000B, "late report");
  Outcome r = RunDesk("reindex");
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.out.find("5 report files; 4 indexed already, 1 added, 0 unreadable; 1 rows without a file removed"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(JsonIds(""), (Ids{late.id, e_.id, d_.id, c_.id, b_.id}));
  EXPECT_EQ(RunDesk("show " + a_.id).exit, 1);
}

TEST_P(Desk, AccountsAndTokensAreKeptHashedInTheDesksOwnDatabase) {
  // On PostgreSQL the accounts are kept in the store's own tables, shared
  // by every desk on it; else in the desk's file beside the data directory.
  std::string pw = dir_ / "pw";
  std::ofstream(pw) << "a long secret 卡顿\nsecond line\n";
  Outcome added = RunDesk("user add li.wei < " + pw);
  EXPECT_EQ(added.exit, 0) << added.err;
  EXPECT_EQ(RunDesk("user add li.wei < " + pw).exit, 1) << "the name is taken";
  std::string shortPw = dir_ / "short";
  std::ofstream(shortPw) << "short\n";
  EXPECT_EQ(RunDesk("user add wang < " + shortPw).exit, 2);
  EXPECT_EQ(RunDesk("user add 'bad name' < " + pw).exit, 2);
  EXPECT_EQ(RunDesk("user add wang < /dev/null").exit, 2) << "no password";
  EXPECT_EQ(RunDesk("user add").exit, 2);
  Outcome list = RunDesk("user list");
  EXPECT_EQ(list.exit, 0);
  EXPECT_EQ(list.out.rfind("li.wei\t", 0), 0u) << list.out;

  Outcome token = RunDesk("token add nightly");
  ASSERT_EQ(token.exit, 0) << token.err;
  ASSERT_EQ(token.out.size(), 41u) << "160 bits in hex and a line end";
  EXPECT_EQ(RunDesk("token add nightly").exit, 1);
  EXPECT_EQ(RunDesk("token list").out.rfind("nightly\t", 0), 0u);
  std::string db;
  if (GetParam()) {
    EXPECT_FALSE(std::filesystem::exists(dir_ / "desk.sqlite")) << "no desk file beside a PostgreSQL store";
    zandrel::store::PgConnection conn;
    ASSERT_TRUE(conn.Connect(database_, nullptr));
    zandrel::store::PgResult rows = conn.Query(
        "SELECT name || ' ' || hash FROM desk_user UNION ALL SELECT name || ' ' || hash FROM desk_token");
    ASSERT_TRUE(rows) << rows.error();
    ASSERT_EQ(rows.rows(), 2);
    for (int i = 0; i < rows.rows(); ++i) db += rows.Text(i, 0) + "\n";
  } else {
    ASSERT_TRUE(zandrel::platform::ReadWholeFile(dir_ / "desk.sqlite", db));
    std::string wal;
    zandrel::platform::ReadWholeFile(dir_ / "desk.sqlite-wal", wal);
    db += wal;
  }
  EXPECT_EQ(db.find("a long secret"), std::string::npos) << "no password in plain text";
  EXPECT_EQ(db.find(token.out.substr(0, 40)), std::string::npos) << "no token in plain text";
  EXPECT_NE(db.find("scrypt$32768$8$1$"), std::string::npos) << "scrypt with its cost";

  EXPECT_EQ(RunDesk("token remove nightly").exit, 0);
  EXPECT_EQ(RunDesk("token remove nightly").exit, 1);
  EXPECT_EQ(RunDesk("user remove li.wei").exit, 0);
  EXPECT_EQ(RunDesk("user remove li.wei").exit, 1);
  EXPECT_EQ(RunDesk("user list").out, "");
  if (GetParam()) {
    // --desk-db names a file, not the store's tables: refused, not ignored.
    Outcome both = RunDesk("user list --desk-db " + (dir_ / "elsewhere.sqlite"));
    EXPECT_EQ(both.exit, 1);
    EXPECT_NE(both.err.find("--desk-db goes with import only"), std::string::npos) << both.err;
    return;
  }
  // Elsewhere with --desk-db, before the command or after it.
  EXPECT_EQ(RunDesk("user add wang --desk-db " + (dir_ / "elsewhere.sqlite") + " < " + pw).exit, 0);
  EXPECT_EQ(RunDesk("user list --desk-db " + (dir_ / "elsewhere.sqlite")).out.rfind("wang\t", 0), 0u);
  EXPECT_EQ(RunDesk("--desk-db " + (dir_ / "elsewhere.sqlite") + " user list").out.rfind("wang\t", 0), 0u);
  EXPECT_EQ(RunDesk("user list").out, "");
}

// One answer of the desk over a socket: its status, head and body.
struct Answer {
  int code = 0;
  std::string head, body;
  // The value a Set-Cookie field gives the cookie.
  std::string Cookie(const std::string& name) const {
    std::size_t at = head.find("Set-Cookie: " + name + "=");
    if (at == std::string::npos) return {};
    at += 13 + name.size();
    return head.substr(at, head.find(';', at) - at);
  }
};

Answer Ask(uint16_t port, const std::string& method, const std::string& target, const std::string& fields,
           const std::string& body = {}) {
  testsock::Socket s(testsock::Connect(port));
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: desk\r\nConnection: close\r\n" + fields;
  if (method == "POST") {
    request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n";
  }
  EXPECT_TRUE(testsock::SendAll(s.get(), request + "\r\n" + body));
  std::string raw = testsock::ReadUntilClosed(s.get());
  Answer a;
  std::size_t end = raw.find("\r\n\r\n");
  if (raw.size() < 12 || end == std::string::npos) return a;
  a.code = std::stoi(raw.substr(9, 3));
  a.head = raw.substr(0, end + 2);
  a.body = raw.substr(end + 4);
  return a;
}

// `zandrel-desk serve` itself, on the store of the test: sign in, a list
// filtered by words and address, one report and its bytes, the dashboard,
// and the reads in the audit log.
TEST_P(Desk, ServeSignsInListsOpensAndAuditsTheReads) {
  Reindex();
  std::string pw = dir_ / "pw";
  std::ofstream(pw) << "a long secret\n";
  ASSERT_EQ(RunDesk("user add alice < " + pw).exit, 0);
  uint16_t port = 0;
  {
    testsock::Socket probe(testsock::Listener(1, 0));
    port = testsock::PortOf(probe.get());
  }
  std::string store = " --data-dir " + dir_.path() + (database_.empty() ? "" : " --database '" + database_ + "'");
  auto started = testsupport::RunCommand(std::string(ZANDREL_DESK_BIN) + store + " serve --quiet --listen 127.0.0.1:" +
                                         std::to_string(port) + " >/dev/null 2>&1 & echo $!");
  ASSERT_EQ(started.exitCode, 0);
  std::string pid = started.out.substr(0, started.out.find('\n'));
  struct Stop {
    std::string pid;
    ~Stop() { testsupport::RunCommand("kill " + pid); }
  } stop{pid};
  ASSERT_TRUE(testsupport::WaitUntil(
      [&] {
        testsock::Socket s(testsock::Connect(port));
        return s.get() != testsock::kNoSocket;
      },
      20000));

  Answer form = Ask(port, "GET", "/login", "");
  std::string token = form.Cookie("zd_login");
  ASSERT_FALSE(token.empty()) << form.head;
  Answer in = Ask(port, "POST", "/login", "Cookie: zd_login=" + token + "\r\n",
                  "user=alice&password=a+long+secret&csrf=" + token);
  ASSERT_EQ(in.code, 303) << in.body;
  std::string session = "Cookie: zd_session=" + in.Cookie("zd_session") + "\r\n";

  Answer list = Ask(port, "GET", "/?q=%E5%8D%A1%E9%A1%BF&ip=10.0.0.9", session);
  ASSERT_EQ(list.code, 200);
  EXPECT_NE(list.body.find(d_.id), std::string::npos) << "卡顿 from 10.0.0.9";
  EXPECT_EQ(list.body.find(a_.id), std::string::npos) << "卡顿 from another address";
  EXPECT_NE(Ask(port, "GET", "/?ip=10.0.0.0/8", session).body.find(a_.id), std::string::npos);
  EXPECT_EQ(Ask(port, "GET", "/reports/" + d_.id, session).code, 200);
  Answer raw = Ask(port, "GET", "/reports/" + d_.id + "/raw", session);
  EXPECT_EQ(raw.code, 200);
  EXPECT_EQ(raw.body, d_.body) << "the exact stored bytes";
  EXPECT_EQ(Ask(port, "GET", "/dashboard", session).code, 200);
  Answer audit = Ask(port, "GET", "/audit", session);
  ASSERT_EQ(audit.code, 200);
  std::size_t reads = 0;
  for (std::size_t at = 0; (at = audit.body.find(">" + d_.id + "</a>", at)) != std::string::npos; ++at) ++reads;
  EXPECT_EQ(reads, 2u) << "the report and its raw bytes";
}

}  // namespace
