#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "http/file_log_client.h"
#include "http/http_downloader.h"
#include "platform/md5.h"
#include "http_peer.h"
#include "wait.h"

using namespace zandrel::http;
using testhttp::SendAll;
using testsock::socket_t;
using testhttp::Server;

namespace {

struct Sink : I_http_data_handler {
  std::vector<uint64_t> lengths;
  std::vector<std::string> pieces;  // "" for a no-data call
  std::string body;
  int finished = 0;
  void i_onHttpLength(uint64_t total) override { lengths.push_back(total); }
  void i_onHttpData(const char* d, int32_t len) override {
    pieces.emplace_back(d ? std::string(d, static_cast<size_t>(len)) : std::string());
    if (d) body.append(d, static_cast<size_t>(len));
  }
  void i_onHttpFinished() override { ++finished; }
};

template <typename Client, typename Pred>
bool StepUntil(Client& c, Pred pred, int maxMs = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
  while (!pred() && std::chrono::steady_clock::now() < end) c.step();
  return pred();
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string Body(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 23);
  return s;
}

}  // namespace

TEST(Downloader, ContentLengthInThreeReads) {
  const std::string body = Body(1000);
  Server srv([&](socket_t fd, const std::string&, int) {
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + body.substr(0, 300));
    Pause(60);
    SendAll(fd, body.substr(300, 300));
    Pause(60);
    SendAll(fd, body.substr(600));
    Pause(100);
  });
  Sink sink;
  C_http_downloader dl(srv.url("/file.bin"), sink);
  EXPECT_EQ(dl.state(), 0);
  std::string target;
  ASSERT_TRUE(StepUntil(dl, [&] { return !sink.pieces.empty(); }));
  EXPECT_EQ(dl.get_status(target), 200);
  ASSERT_TRUE(StepUntil(dl, [&] { return sink.finished > 0; }));
  EXPECT_EQ(sink.lengths, std::vector<uint64_t>{1000});
  EXPECT_EQ(sink.pieces.front(), body.substr(0, 300));
  EXPECT_EQ(sink.pieces.size(), 3u);
  EXPECT_EQ(sink.body, body);
  EXPECT_EQ(sink.finished, 1);
  EXPECT_EQ(dl.state(), 2);
  EXPECT_EQ(dl.get_status(target), 0);
  EXPECT_FALSE(dl.step());
  auto reqs = srv.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].substr(0, 26), "GET /file.bin HTTP/1.1\r\nAc");
  EXPECT_EQ(reqs[0].find("Range:"), std::string::npos);
}

TEST(Downloader, ResumesWithARangeAfterABreak) {
  const std::string body = Body(1000);
  Server srv([&](socket_t fd, const std::string&, int index) {
    if (index == 0) {
      SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + body.substr(0, 600));
    } else {
      SendAll(fd, "HTTP/1.1 206 Partial Content\r\nContent-Length: 400\r\nContent-Range: bytes 600-999/1000\r\n\r\n");
      Pause(30);
      SendAll(fd, body.substr(600));
      Pause(100);
    }
  });
  Sink sink;
  C_http_downloader dl(srv.url("/f"), sink);
  ASSERT_TRUE(StepUntil(dl, [&] { return sink.finished > 0; }));
  EXPECT_EQ(sink.lengths, std::vector<uint64_t>{1000});  // only the first response
  EXPECT_NE(std::find(sink.pieces.begin(), sink.pieces.end(), std::string()), sink.pieces.end());
  EXPECT_EQ(sink.body, body);
  EXPECT_EQ(dl.received(), 1000);
  auto reqs = srv.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_NE(reqs[1].find("Range: bytes=600-\r\nUser-Agent"), std::string::npos);
}

// A server that ignores the range answers the resume with 200 and the whole
// resource: the part already delivered is not delivered again.
TEST(Downloader, ResumeAnsweredWithTheWholeResourceDeliversItOnce) {
  const std::string body = Body(100);
  const std::string whole = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
  Server srv([&](socket_t fd, const std::string&, int index) {
    if (index == 0) {
      SendAll(fd, whole + body.substr(0, 60));
    } else {
      SendAll(fd, whole + body.substr(0, 20));
      Pause(30);
      SendAll(fd, body.substr(20));
      Pause(100);
    }
  });
  Sink sink;
  C_http_downloader dl(srv.url("/f"), sink);
  ASSERT_TRUE(StepUntil(dl, [&] { return sink.finished > 0; }));
  EXPECT_EQ(sink.body, body);
  EXPECT_EQ(sink.lengths, std::vector<uint64_t>{100});
  EXPECT_EQ(dl.received(), 100);
  for (int i = 0; i < 5; ++i) dl.step();
  EXPECT_EQ(sink.finished, 1);

  // The connection breaks again while the repeated start is being skipped;
  // the next resume is honoured, and nothing more is skipped from it.
  Server flaky([&](socket_t fd, const std::string&, int index) {
    if (index == 0) SendAll(fd, whole + body.substr(0, 60));
    if (index == 1) SendAll(fd, whole + body.substr(0, 40));
    if (index == 2) {
      SendAll(fd, "HTTP/1.1 206 Partial Content\r\nContent-Length: 40\r\nContent-Range: bytes 60-99/100\r\n\r\n" +
                      body.substr(60));
      Pause(100);
    }
  });
  Sink sink2;
  C_http_downloader dl2(flaky.url("/f"), sink2);
  ASSERT_TRUE(StepUntil(dl2, [&] { return sink2.finished > 0; }));
  EXPECT_EQ(sink2.body, body);
  auto reqs = flaky.requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_NE(reqs[1].find("Range: bytes=60-"), std::string::npos);
  EXPECT_NE(reqs[2].find("Range: bytes=60-"), std::string::npos);
}

// A resume answered with a page of another status (here 503) has nothing of
// the body: none of it is delivered, and the download stops without asking
// again. The same status as the first answer is that page repeated.
TEST(Downloader, ResumeAnsweredWithAnotherStatusDeliversNothingOfIt) {
  const std::string page = Body(100);
  auto server = [&](const std::string& second) {
    return [&page, second](socket_t fd, const std::string&, int index) {
      SendAll(fd, index == 0 ? "HTTP/1.1 404 Not Found\r\nContent-Length: 100\r\n\r\n" + page.substr(0, 60) : second);
      if (index > 0) Pause(100);
    };
  };
  Server refused(server("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 4\r\n\r\nbusy"));
  Sink sink;
  C_http_downloader dl(refused.url("/f"), sink);
  ASSERT_TRUE(StepUntil(dl, [&] { return dl.stalled(); }));
  for (int i = 0; i < 20; ++i) dl.step();
  EXPECT_EQ(sink.body, page.substr(0, 60));
  EXPECT_EQ(sink.finished, 0);
  EXPECT_TRUE(dl.stalled());
  EXPECT_EQ(refused.requests().size(), 2u);

  Server repeated(server("HTTP/1.1 404 Not Found\r\nContent-Length: 100\r\n\r\n" + page));
  Sink sink2;
  C_http_downloader dl2(repeated.url("/f"), sink2);
  ASSERT_TRUE(StepUntil(dl2, [&] { return sink2.finished > 0; }));
  EXPECT_EQ(sink2.body, page);
  EXPECT_EQ(repeated.requests().size(), 2u);
}

// A 206 carries the rest from where it was asked for; one whose range starts
// elsewhere, or that names no range, is not the continuation: nothing of it
// is delivered and the download stops, as on any other refused resume.
TEST(Downloader, PartialContentFromElsewhereIsNotTheContinuation) {
  const std::string body = Body(1000);
  for (int first : {500, 0, 601, -1}) {
    SCOPED_TRACE(first);
    const size_t from = first < 0 ? 600 : static_cast<size_t>(first);
    const std::string range =
        first < 0 ? "" : "Content-Range: bytes " + std::to_string(first) + "-999/1000\r\n";
    Server srv([&](socket_t fd, const std::string&, int index) {
      if (index == 0) {
        SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + body.substr(0, 600));
        return;
      }
      SendAll(fd, "HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(1000 - from) + "\r\n" + range +
                      "\r\n" + body.substr(from));
      Pause(100);
    });
    Sink sink;
    C_http_downloader dl(srv.url("/f"), sink);
    ASSERT_TRUE(StepUntil(dl, [&] { return dl.stalled(); }));
    for (int i = 0; i < 20; ++i) dl.step();
    EXPECT_EQ(sink.body, body.substr(0, 600));
    EXPECT_EQ(sink.finished, 0);
    EXPECT_EQ(srv.requests().size(), 2u);
  }
}

TEST(Downloader, BodiesWithoutContentLength) {
  const std::string body = Body(5000);
  Server closeDelimited([&](socket_t fd, const std::string&, int) {
    SendAll(fd, "HTTP/1.1 200 OK\r\n\r\n" + body.substr(0, 100));
    Pause(40);
    SendAll(fd, body.substr(100));
  });
  Sink a;
  C_http_downloader dl(closeDelimited.url("/c"), a);
  ASSERT_TRUE(StepUntil(dl, [&] { return a.finished > 0; }));
  EXPECT_EQ(a.lengths, std::vector<uint64_t>{0});
  EXPECT_EQ(a.body, body);
  EXPECT_EQ(dl.state(), 2);

  // The server holds the connection open until the test has seen the end.
  std::atomic<bool> seen{false};
  Server headOnly([&](socket_t fd, const std::string&, int) {
    SendAll(fd, "HTTP/1.1 200 OK\r\nServer: t\r\n\r\n");
    testsupport::WaitUntil([&] { return seen.load(); }, 30000);
  });
  Sink b;
  C_http_downloader dl2(headOnly.url("/h"), b);
  const bool finished = StepUntil(dl2, [&] { return b.finished > 0; });
  seen = true;
  ASSERT_TRUE(finished) << "not finished while the connection stayed open";
  EXPECT_EQ(b.lengths, std::vector<uint64_t>{0});
  EXPECT_TRUE(b.pieces.empty());
}

TEST(Downloader, RedirectsExposeTheirTargetOnlyWhileIncomplete) {
  Server later([&](socket_t fd, const std::string&, int) {
    SendAll(fd, "HTTP/1.1 302 Found\r\nLocation: http://elsewhere/next\r\nContent-Length: 10\r\n\r\n");
    Pause(300);
    SendAll(fd, "0123456789");
  });
  Sink a;
  C_http_downloader dl(later.url("/r"), a);
  std::string target;
  ASSERT_TRUE(StepUntil(dl, [&] { return !a.lengths.empty(); }));
  EXPECT_EQ(dl.get_status(target), 302);
  EXPECT_EQ(target, "http://elsewhere/next");

  Server complete([&](socket_t fd, const std::string&, int) {
    SendAll(fd, "HTTP/1.1 301 Moved\r\nLocation: http://elsewhere/x\r\nContent-Length: 3\r\n\r\nabc");
    Pause(100);
  });
  Sink b;
  C_http_downloader dl2(complete.url("/r"), b);
  ASSERT_TRUE(StepUntil(dl2, [&] { return b.finished > 0; }));
  std::string t2;
  EXPECT_EQ(dl2.get_status(t2), 0);
  EXPECT_EQ(b.body, "abc");
  // The finished 3xx stays known, so that its owner can still follow it.
  EXPECT_EQ(dl2.completed_status(t2), 301);
  EXPECT_EQ(t2, "http://elsewhere/x");
  EXPECT_EQ(dl.completed_status(target), 0);  // still running

  Server longLocation([&](socket_t fd, const std::string&, int) {
    SendAll(fd, "HTTP/1.1 302 Found\r\nLocation: http://h/" + std::string(5000, 'L') + "\r\nContent-Length: 5\r\n\r\n");
    Pause(200);
  });
  Sink c;
  C_http_downloader dl3(longLocation.url("/r"), c);
  ASSERT_TRUE(StepUntil(dl3, [&] { return !c.lengths.empty(); }));
  std::string t3;
  EXPECT_EQ(dl3.get_status(t3), 302);
  EXPECT_EQ(t3.size(), 5009u);
  // Following it: the request head does not fit and nothing is sent, quietly.
  Sink d;
  C_http_downloader dl4(t3, d);
  for (int i = 0; i < 20; ++i) dl4.step();
  EXPECT_TRUE(d.lengths.empty() && d.pieces.empty() && d.finished == 0);
}

TEST(Downloader, RefusedOrUnresolvableGivesNoCallbackAtAll) {
  Sink sink;
  C_http_downloader dl("http://127.0.0.1:" + std::to_string(testsock::ClosedPort()) + "/x", sink);
  for (int i = 0; i < 100; ++i) dl.step();
  EXPECT_EQ(dl.state(), 1);
  C_http_downloader bad("http:///nothing", sink);
  for (int i = 0; i < 10; ++i) bad.step();
  EXPECT_EQ(bad.state(), 0);
  EXPECT_TRUE(sink.lengths.empty() && sink.pieces.empty() && sink.finished == 0);
}

// A connection that brings nothing new (here a head too long to be read, then
// the whole body, then the close) is not followed by another at once: the
// next waits 0.5 s, then 1, 2 and 4 s, and at most 4 s. One that delivers
// something is taken up again at once and starts the waits over.
TEST(Downloader, WaitsLongerAfterEachConnectionThatBringsNothing) {
  const std::string hugeHead = "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(11000, 'p') + "\r\n\r\n";
  const std::string body = Body(1000);
  Server srv([&](socket_t fd, const std::string&, int index) {
    if (index == 5) {
      SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + body.substr(0, 100));
    } else {
      SendAll(fd, hugeHead + body);
    }
  });
  uint32_t now = 7;  // the downloader's clock: moves only when the test moves it
  Sink sink;
  C_http_downloader dl(srv.url("/f"), sink, zandrel::net::create_tcp_module, [&] { return now; });
  auto requests = [&] { return srv.requests().size(); };
  auto waitsFor = [&](uint32_t ms) {
    ASSERT_TRUE(StepUntil(dl, [&] { return dl.waiting_to_retry(); }));
    const size_t made = requests();
    now += ms - 1;
    for (int i = 0; i < 50; ++i) {
      dl.step();
      Pause(1);
    }
    EXPECT_TRUE(dl.waiting_to_retry());
    EXPECT_EQ(requests(), made) << "asked again before " << ms << " ms";
    now += 1;
    ASSERT_TRUE(StepUntil(dl, [&] { return requests() == made + 1; })) << "not asked again after " << ms << " ms";
  };
  for (uint32_t ms : {500u, 1000u, 2000u, 4000u, 4000u}) {
    SCOPED_TRACE(ms);
    waitsFor(ms);
  }
  // The sixth connection delivers 100 bytes: the next one follows at once.
  ASSERT_TRUE(StepUntil(dl, [&] { return requests() == 7; }));
  EXPECT_EQ(sink.body, body.substr(0, 100));
  auto reqs = srv.requests();
  EXPECT_NE(reqs[6].find("Range: bytes=100-"), std::string::npos);
  waitsFor(500);
  EXPECT_EQ(sink.finished, 0);
}

// A name that does not resolve is looked up again after the same waits, on
// the same helper thread.
TEST(Downloader, WaitsBeforeLookingAFailedNameUpAgain) {
  uint32_t now = 0;
  Sink sink;
  C_http_downloader dl("http://no-such-host.invalid/f", sink, zandrel::net::create_tcp_module, [&] { return now; });
  ASSERT_TRUE(StepUntil(dl, [&] { return dl.waiting_to_retry(); }, 60000));
  const int helpers = zandrel::net::StartedLookupHelpers();
  for (uint32_t ms : {500u, 1000u, 2000u}) {
    SCOPED_TRACE(ms);
    const int lookups = zandrel::net::StartedLookups();
    now += ms - 1;
    for (int i = 0; i < 20; ++i) dl.step();
    EXPECT_EQ(zandrel::net::StartedLookups(), lookups);
    now += 1;
    ASSERT_TRUE(StepUntil(dl, [&] { return !dl.waiting_to_retry(); }));
    EXPECT_EQ(zandrel::net::StartedLookups(), lookups + 1);
    ASSERT_TRUE(StepUntil(dl, [&] { return dl.waiting_to_retry(); }, 60000));
  }
  EXPECT_EQ(zandrel::net::StartedLookupHelpers(), helpers);
  EXPECT_EQ(dl.state(), 0);
  EXPECT_TRUE(sink.lengths.empty() && sink.pieces.empty());
}

TEST(FileLogClient, PostsTheWholeRequestAndFinishesOnACompleteAnswer) {
  const std::string body = "\r\nreport\x00with nul" + std::string(30000, 'r');
  Server srv(
      [&](socket_t fd, const std::string&, int) {
        SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        Pause(200);
      },
      true);
  C_file_log_client client(body.data(), static_cast<int32_t>(body.size()),
                           "127.0.0.1:" + std::to_string(srv.port()) + "/test_log");
  EXPECT_EQ(client.state_text(), "");
  ASSERT_TRUE(StepUntil(client, [&] { return client.state_text() == "finished"; }, 1500));
  auto reqs = srv.requests();
  ASSERT_EQ(reqs.size(), 1u);
  std::string head = reqs[0].substr(0, reqs[0].find("\r\n\r\n") + 4);
  EXPECT_EQ(head.substr(0, 25), "POST /test_log HTTP/1.1\r\n");
  EXPECT_NE(head.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
  EXPECT_NE(head.find("file_flag: " + zandrel::platform::md5_hex_upper(body.data(), body.size()) + "\r\n\r\n"),
            std::string::npos);
  EXPECT_EQ(reqs[0].substr(head.size()), body);
  EXPECT_EQ(std::string(client.request().data(), client.request().size()), reqs[0]);
}

TEST(FileLogClient, FinishesWhenTheServerClosesWithoutAnswering) {
  Server srv([&](int, const std::string&, int) {}, true);
  C_file_log_client client("x", 1, "127.0.0.1:" + std::to_string(srv.port()) + "/test_log");
  ASSERT_TRUE(StepUntil(client, [&] { return client.state_text() == "finished"; }));
  EXPECT_EQ(client.final_status(), 0);  // no answer at all
  // Half a head is no answer either; a whole head is, even when the body breaks off.
  Server half([&](socket_t fd, const std::string&, int) { SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Le"); }, true);
  C_file_log_client c1("x", 1, "127.0.0.1:" + std::to_string(half.port()) + "/test_log");
  ASSERT_TRUE(StepUntil(c1, [&] { return c1.state_text() == "finished"; }));
  EXPECT_EQ(c1.final_status(), 0);
  Server partial(
      [&](socket_t fd, const std::string&, int) { SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabcd"); }, true);
  C_file_log_client c2("x", 1, "127.0.0.1:" + std::to_string(partial.port()) + "/test_log");
  ASSERT_TRUE(StepUntil(c2, [&] { return c2.state_text() == "finished"; }));
  EXPECT_EQ(c2.final_status(), 200);
}

TEST(FileLogClient, ExposesTheStatusAndHeadersOfTheAnswerOnceFinished) {
  Server srv(
      [&](socket_t fd, const std::string&, int) {
        SendAll(fd, "HTTP/1.1 429 Too Many Requests\r\nRetry-After: 30\r\nx-report-id: 7K3M-QX9P\r\n"
                    "Content-Length: 9\r\n\r\n7K3M-QX9P");
        Pause(300);  // the answer is complete before the connection closes
      },
      true);
  C_file_log_client client("r", 1, "127.0.0.1:" + std::to_string(srv.port()) + "/test_log");
  EXPECT_EQ(client.final_status(), 0);  // nothing before the exchange
  ASSERT_TRUE(StepUntil(client, [&] { return client.state_text() == "finished"; }));
  EXPECT_EQ(client.final_status(), 429);
  EXPECT_EQ(client.answer_header("X-Report-Id"), "7K3M-QX9P");  // names match ignoring case
  EXPECT_EQ(client.answer_header("Retry-After"), "30");
  EXPECT_EQ(client.answer_header("Date"), "");
}

TEST(FileLogClient, RetriesWhileTheServerIsDownUntilItComesUp) {
  uint16_t port = testsock::ClosedPort();
  C_file_log_client client("r", 1, "127.0.0.1:" + std::to_string(port) + "/test_log");
  for (int i = 0; i < 200; ++i) {
    client.step();
    ASSERT_TRUE(client.state_text() == "" || client.state_text() == "connecting") << client.state_text();
  }
  Server srv([&](socket_t fd, const std::string&, int) { SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"); },
             true, port);
  ASSERT_TRUE(StepUntil(client, [&] { return client.state_text() == "finished"; }));
  EXPECT_EQ(srv.requests().size(), 1u);
}
