// The report store on its own: ids and file names, room counted fairly
// between addresses, and a disk that stops.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/md5.h"
#include "platform/store.h"
#include "server/store/report_file.h"
#include "server/store/report_id.h"
#include "server/store/report_store.h"
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
