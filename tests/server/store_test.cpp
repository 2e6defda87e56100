// The report store on its own: ids and file names, room counted fairly
// between addresses, and a disk that stops.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/md5.h"
#include "platform/store.h"
#include "server/store/report_file.h"
#include "server/store/report_id.h"
#include "server/store/report_store.h"
#include "server/store/store_worker.h"
#include "temp_dir.h"
#include "wait.h"

namespace zandrel::store {
namespace {

TEST(ReportIds, ReadBackAsWrittenAndForgivingAsSpoken) {
  std::set<uint64_t> seen;
  for (uint64_t seq : {0ull, 1ull, 2ull, 3ull, 999999ull, (1ull << 40) - 1}) {
    uint64_t id = ReportIdForSequence(seq);
    EXPECT_LT(id, 1ull << 40);
    EXPECT_EQ(SequenceForReportId(id), seq);
    EXPECT_TRUE(seen.insert(id).second);
    std::string text = ReportIdText(id);
    ASSERT_EQ(text.size(), 9u);
    EXPECT_EQ(text[4], '-');
    EXPECT_EQ(text.find_first_of("ILOU"), std::string::npos);
    EXPECT_EQ(ParseReportId(text), id);
  }
  // Neighbouring sequence numbers do not give neighbouring ids.
  EXPECT_GT(ReportIdForSequence(2) ^ ReportIdForSequence(1), 1u << 8);
  // Lower case, no hyphen, and the look-alikes read as the digits.
  EXPECT_EQ(ParseReportId("7k3m-qx9p"), ParseReportId("7K3MQX9P"));
  EXPECT_EQ(ParseReportId("OOIL-0011"), ParseReportId("0011-0011"));
  for (const char* bad : {"", "7K3M-QX9", "7K3M-QX9PP", "7K3-MQX9P", "7K3M-QX9U", "7K3M QX9P", "7K3M--X9P"}) {
    EXPECT_FALSE(ParseReportId(bad)) << bad;
  }
}

TEST(ReportFileNames, CarryEverythingTheRecordNeeds) {
  ReportFileName f;
  f.received = 1796870412345;  // 2026-12-10 02:40:12.345 UTC
  f.sequence = 17;
  f.id = ReportIdForSequence(17);
  f.sender = 0x0a000007;
  f.md5 = platform::md5_hex_upper("x", 1);
  std::string name = ReportFileNameText(f);
  EXPECT_EQ(name.substr(0, 27), "report-20261210-024012-345-");
  auto back = ParseReportFileName(name);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->received, f.received);
  EXPECT_EQ(back->sequence, 17u);
  EXPECT_EQ(back->id, f.id);
  EXPECT_EQ(back->sender, f.sender);
  EXPECT_EQ(back->md5, f.md5);
  // Names of an older server, temporaries and foreign files are not reports of this form.
  for (std::string bad : {std::string("report-20261210-021332-000001-") + f.md5 + ".txt", std::string(".upload-3.tmp"),
                          name.substr(0, name.size() - 4) + ".bak", "report-20261310" + name.substr(15)}) {
    EXPECT_FALSE(ParseReportFileName(bad)) << bad;
  }
}

// A batch of many commits, flushed side by side: every report that passed
// its check is in place whole under its name, the one whose check failed is
// not, nothing temporary is left, the results come in posting order, and
// the after-batch hook saw exactly the committed ones after they landed.
TEST(StoreWorkerBatch, CommitsSideBySideLandWholeAndAreReportedInOrder) {
  testsupport::TempDir dir("zandrel-worker");
  std::mutex seenMu;
  std::vector<std::string> seenAfter;
  bool allPresentAfter = true;
  StoreWorker worker(dir.path(), [&](const std::vector<StoreWorker::Done>& done) -> std::function<void()> {
    std::vector<platform::DirectoryEntry> entries;
    platform::ListDirectory(dir.path(), entries);
    std::set<std::string> present;
    for (const auto& e : entries) present.insert(e.name);
    std::lock_guard<std::mutex> lock(seenMu);
    for (const auto& d : done) {
      if (!d.ok || d.name.empty()) continue;  // failed, or the holding job
      seenAfter.push_back(d.name);
      allPresentAfter = allPresentAfter && present.count(d.name);
    }
    return {};
  });
  // Held at the first job until everything is queued, so that one batch takes them all.
  std::promise<void> go;
  std::shared_future<void> gate = go.get_future().share();
  StoreWorker::Job hold;
  hold.kind = StoreWorker::Kind::kRun;
  hold.result = 1000;
  hold.run = [gate] {
    gate.wait();
    return true;
  };
  ASSERT_TRUE(worker.Start());
  worker.Post(std::move(hold));
  constexpr int kReports = 40;
  for (int i = 0; i < kReports; ++i) {
    auto report = std::make_shared<PendingReport>();
    auto post = [&](StoreWorker::Kind kind, std::string text) {
      StoreWorker::Job j;
      j.kind = kind;
      j.upload = static_cast<uint64_t>(i);
      j.result = static_cast<uint64_t>(i);
      j.report = report;
      j.text = std::move(text);
      if (kind == StoreWorker::Kind::kCommit && i == 7) j.run = [] { return false; };
      worker.Post(std::move(j));
    };
    post(StoreWorker::Kind::kOpen, ".upload-" + std::to_string(i) + ".tmp");
    post(StoreWorker::Kind::kWrite, std::string(5000 + i, static_cast<char>('a' + i % 26)));
    post(StoreWorker::Kind::kCommit, "r" + std::to_string(i) + ".txt");
  }
  go.set_value();
  std::vector<StoreWorker::Done> done;
  testsupport::WaitUntil([&] {
    for (auto& d : worker.TakeDone()) done.push_back(d);
    return done.size() == kReports + 1;
  });
  ASSERT_EQ(done.size(), static_cast<std::size_t>(kReports + 1));
  EXPECT_EQ(done[0].result, 1000u);
  for (int i = 0; i < kReports; ++i) {
    const auto& d = done[static_cast<std::size_t>(i) + 1];
    EXPECT_EQ(d.result, static_cast<uint64_t>(i));
    EXPECT_EQ(d.ok, i != 7) << i;
  }
  std::vector<platform::DirectoryEntry> entries;
  ASSERT_TRUE(platform::ListDirectory(dir.path(), entries));
  std::map<std::string, uint64_t> sizes;
  for (const auto& e : entries) sizes[e.name] = e.size;
  EXPECT_EQ(sizes.size(), static_cast<std::size_t>(kReports - 1));  // no temporaries, not r7
  for (int i = 0; i < kReports; ++i) {
    auto it = sizes.find("r" + std::to_string(i) + ".txt");
    if (i == 7) {
      EXPECT_EQ(it, sizes.end());
    } else {
      ASSERT_NE(it, sizes.end()) << i;
      EXPECT_EQ(it->second, static_cast<uint64_t>(5000 + i));
    }
  }
  worker.Stop(UINT32_MAX);
  std::lock_guard<std::mutex> lock(seenMu);
  EXPECT_EQ(seenAfter.size(), static_cast<std::size_t>(kReports - 1));
  EXPECT_TRUE(allPresentAfter);
}

// While what one batch's hook left to do runs (the index being written),
// the next batch's files are flushed and land and its hook runs; its
// results still wait for the earlier batch's. Only one batch waits behind
// the one under way (a further one's hook does not run), the time it runs
// counts as busy, and Stop waits for it, or reports that it did not end
// within its bound. Without a thread, what is left is done before Post
// returns.
TEST(StoreWorkerBatch, ANextBatchLandsWhileTheHookRunsAndIsPublishedAfterIt) {
  testsupport::TempDir dir("zandrel-worker");
  struct Gate {
    std::promise<void> promise;
    std::shared_future<void> future = promise.get_future().share();
    bool open = false;
    void Open() {
      if (!open) promise.set_value();
      open = true;
    }
  } gate1, gate5;
  std::atomic<int> hooks{0}, finished{0};
  std::atomic<bool> fifthStarted{false};
  auto hook = [&](const std::vector<StoreWorker::Done>&) -> std::function<void()> {
    return [&, n = hooks++] {
      if (n == 0) gate1.future.wait();
      if (n == 4) {
        fifthStarted = true;
        gate5.future.wait();
      }
      ++finished;
    };
  };
  auto commit = [&](StoreWorker& worker, int i) {
    auto report = std::make_shared<PendingReport>();
    for (auto kind : {StoreWorker::Kind::kOpen, StoreWorker::Kind::kWrite, StoreWorker::Kind::kCommit}) {
      StoreWorker::Job j;
      j.kind = kind;
      j.upload = j.result = static_cast<uint64_t>(i);
      j.report = report;
      j.text = kind == StoreWorker::Kind::kOpen    ? ".upload-" + std::to_string(i) + ".tmp"
               : kind == StoreWorker::Kind::kWrite ? std::string(100, 'x')
                                                   : "r" + std::to_string(i) + ".txt";
      worker.Post(std::move(j));
    }
  };
  auto landed = [&](const std::string& name) {
    std::vector<platform::DirectoryEntry> entries;
    platform::ListDirectory(dir.path(), entries);
    for (const auto& e : entries) {
      if (e.name == name) return true;
    }
    return false;
  };
  StoreWorker worker(dir.path(), hook);
  // Both gates open before the worker stops, so that a failed check ends
  // the test instead of leaving Stop waiting for a held hook.
  struct OpenAtEnd {
    Gate &a, &b;
    ~OpenAtEnd() {
      a.Open();
      b.Open();
    }
  } openAtEnd{gate1, gate5};
  ASSERT_TRUE(worker.Start());
  commit(worker, 1);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return hooks.load() == 1; }));
  commit(worker, 2);
  EXPECT_TRUE(testsupport::WaitUntil([&] { return landed("r2.txt") && hooks.load() == 2; }));
  EXPECT_TRUE(worker.TakeDone().empty());
  EXPECT_EQ(finished.load(), 0);
  EXPECT_TRUE(testsupport::WaitUntil([&] { return worker.busy_ms() >= 50; }));
  commit(worker, 3);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return hooks.load() == 3; }));
  commit(worker, 4);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(hooks.load(), 3);  // batch 3 waits for room, batch 4 behind it
  gate1.Open();
  std::vector<StoreWorker::Done> done;
  ASSERT_TRUE(testsupport::WaitUntil([&] {
    for (auto& d : worker.TakeDone()) done.push_back(d);
    return done.size() == 4;
  }));
  for (std::size_t i = 0; i < done.size(); ++i) EXPECT_EQ(done[i].result, i + 1);
  commit(worker, 5);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return fifthStarted.load(); }));
  EXPECT_FALSE(worker.Stop(200));
  EXPECT_EQ(finished.load(), 4);
  gate5.Open();
  EXPECT_TRUE(testsupport::WaitUntil([&] { return finished.load() == 5 && worker.TakeDone().size() == 1; }));

  StoreWorker inline_(dir.path(), hook);  // never started
  commit(inline_, 6);
  EXPECT_EQ(finished.load(), 6);
  auto now = inline_.TakeDone();
  ASSERT_EQ(now.size(), 1u);
  EXPECT_TRUE(now[0].ok);
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    opt_.dataDir = dir_.path();
    opt_.quiet = true;
    opt_.minFreeBytes = 0;
    opt_.reportsPerMinute = 0;
  }
  std::unique_ptr<ReportStore> Open() {
    auto s = std::make_unique<ReportStore>(opt_);
    std::string error;
    EXPECT_TRUE(s->Open(error)) << error;
    return s;
  }
  size_t Count(char first) const {
    std::vector<platform::DirectoryEntry> all;
    platform::ListDirectory(opt_.dataDir, all);
    size_t n = 0;
    for (const auto& e : all) n += e.name[0] == first;
    return n;
  }
  // Stores body as a whole report from peer; the status it settled with.
  static int StoreWhole(ReportStore& s, uint32_t peer, const std::string& body) {
    if (s.Admit(peer, body.size(), 0).status != 200) return s.Admit(peer, body.size(), 0).status;
    auto u = s.Begin(peer, body.size());
    if (!u->Write(body.data(), body.size()) || !u->Matches(platform::md5_hex_upper(body.data(), body.size()))) return -1;
    auto r = s.Store(std::move(u), "test");
    testsupport::WaitUntil([&] {
      s.Collect();
      return r->status != 0;
    });
    return r->status;
  }

  testsupport::TempDir dir_{"zandrel-store"};
  StoreOptions opt_;
};

TEST_F(StoreTest, UploadsThatNeverFinishHoldNoRoomTheyHaveNotFilled) {
  opt_.maxStoreBytes = 64 * 4096;
  auto s = Open();
  // One address opens many large uploads and trickles a byte into each.
  std::vector<std::unique_ptr<ReportStore::Upload>> trickles;
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(s->Admit(0x0a000001, 200000, 0).status, 200) << i;
    trickles.push_back(s->Begin(0x0a000001, 200000));
    ASSERT_TRUE(trickles.back()->Write("x", 1));
  }
  // Somebody else's report still finds room, and is stored with its id.
  EXPECT_EQ(StoreWhole(*s, 0x0a000002, std::string(5000, 'r')), 200);
  trickles.clear();
  EXPECT_EQ(Count('.'), 0u);  // the abandoned uploads' temporaries are gone
  EXPECT_EQ(Count('r'), 1u);
}

TEST_F(StoreTest, RoomRefusedCostsWhatAReportCosts) {
  opt_.maxStoreBytes = 4096;
  opt_.reportsPerMinute = 2;
  auto s = Open();
  EXPECT_EQ(s->Admit(0x0a000001, 5000, 0).status, 507);
  EXPECT_EQ(s->Admit(0x0a000001, 5000, 1).status, 507);
  // Probing for room is rate limited like storing.
  EXPECT_EQ(s->Admit(0x0a000001, 10, 2).status, 429);
  EXPECT_EQ(s->Admit(0x0a000002, 10, 3).status, 200);
}

TEST_F(StoreTest, AStuckDiskFillsABoundedQueueAndLeaversGiveTheirShareBack) {
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::atomic<bool> entered{false};
  auto s = Open();
  s->SetBeforeCommit([&] {
    entered = true;
    opened.wait();
    return true;
  });
  ASSERT_TRUE(s->StartWorker());
  std::string first = "first report";
  ASSERT_EQ(s->Admit(1, first.size(), 0).status, 200);
  auto a = s->Begin(1, first.size());
  ASSERT_TRUE(a->Write(first.data(), first.size()));
  ASSERT_TRUE(a->Matches(platform::md5_hex_upper(first.data(), first.size())));
  auto storedA = s->Store(std::move(a), "a");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return entered.load(); }));

  // The worker is stuck: uploads queue their bytes until the queue is full;
  // then admission says 503 at once instead of letting clients wait.
  const std::string piece(1 << 20, 'p');
  std::vector<std::unique_ptr<ReportStore::Upload>> queued;
  bool refused = false;
  for (int i = 0; i < 40 && !refused; ++i) {
    auto adm = s->Admit(100 + i, piece.size(), 0);
    if (adm.status == 503) {
      EXPECT_GT(adm.retryAfter, 0u);
      refused = true;
      break;
    }
    ASSERT_EQ(adm.status, 200);
    queued.push_back(s->Begin(100 + i, piece.size()));
    refused = !queued.back()->Write(piece.data(), piece.size());
  }
  EXPECT_TRUE(refused);
  // A client that leaves takes its queued bytes with it.
  queued.pop_back();
  queued.pop_back();
  EXPECT_EQ(s->Admit(999, 10, 0).status, 200);
  EXPECT_LE(queued.size() * piece.size(), ReportStore::kQueueBytes);

  gate.set_value();
  ASSERT_TRUE(testsupport::WaitUntil([&] {
    s->Collect();
    return storedA->status != 0;
  }));
  EXPECT_EQ(storedA->status, 200);
  EXPECT_EQ(storedA->id.size(), 9u);
  queued.clear();
  s.reset();
  EXPECT_EQ(Count('.'), 0u);
  EXPECT_EQ(Count('r'), 1u);
}

TEST_F(StoreTest, AStoreWhoseDiskNeverAnswersStillGoesAwayLeavingNothingHalfDone) {
  auto gate = std::make_shared<std::promise<void>>();
  std::shared_future<void> opened = gate->get_future().share();
  auto entered = std::make_shared<std::atomic<bool>>(false);
  auto s = Open();
  s->SetBeforeCommit([opened, entered] {
    *entered = true;
    opened.wait();
    return true;
  });
  s->SetStopWait(50);
  ASSERT_TRUE(s->StartWorker());
  std::string body = "stuck report";
  auto u = s->Begin(1, body.size());
  ASSERT_TRUE(u->Write(body.data(), body.size()));
  ASSERT_TRUE(u->Matches(platform::md5_hex_upper(body.data(), body.size())));
  auto r = s->Store(std::move(u), "a");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return entered->load(); }));
  s.reset();  // returns although the disk never answered
  EXPECT_EQ(r->status, 0);  // never claimed stored
  EXPECT_EQ(Count('r'), 0u);
  // When the disk comes back, the report appears whole or not at all.
  gate->set_value();
  EXPECT_TRUE(testsupport::WaitUntil([&] { return Count('.') == 0; }));
  EXPECT_EQ(Count('r'), 1u);
}

}  // namespace
}  // namespace zandrel::store
