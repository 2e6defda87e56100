// The report store with its worker, driven by a script of operations read
// from the input: uploads begun side by side, written in pieces, left
// mid-way, finished with the right or a wrong digest, collected at any
// moment. Whatever the order, once the store is gone its directory holds
// exactly the reports it answered 200, byte for byte, and no temporary.
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "fuzz_support.h"
#include "platform/md5.h"
#include "server/store/report_file.h"
#include "server/store/report_id.h"
#include "server/store/report_store.h"

namespace fs = std::filesystem;
using namespace zandrel;

namespace {

fs::path g_dir;

struct Slot {
  std::unique_ptr<store::ReportStore::Upload> upload;
  std::string body;
  uint64_t length = 0;
};

struct Handed {
  std::string body;
  std::shared_ptr<const store::ReportStore::Storing> result;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  g_dir = base / ("zandrel-fuzz-store-" + std::to_string(getpid()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fs::remove_all(g_dir);
  store::StoreOptions opt;
  opt.dataDir = g_dir.string();
  opt.quiet = true;
  opt.minFreeBytes = 0;
  opt.reportsPerMinute = 0;
  if (size > 0 && (data[0] & 1)) opt.maxStoreBytes = 4096u * (1 + data[0] % 8);
  std::vector<Handed> handed;
  {
    store::ReportStore s(opt);
    std::string error;
    FUZZ_CHECK(s.Open(error));
    FUZZ_CHECK(s.StartWorker());
    Slot slots[4];
    uint32_t now = 0;
    for (size_t i = 1; i + 1 < size; i += 2) {
      const uint8_t op = data[i], arg = data[i + 1];
      Slot& slot = slots[op & 3];
      switch ((op >> 2) % 5) {
        case 0:  // begin
          if (slot.upload) break;
          slot.length = 1 + arg * 7u;
          if (s.Admit(0x0a000000u + (op & 3), slot.length, now += 10).status != 200) break;
          slot.upload = s.Begin(0x0a000000u + (op & 3), slot.length);
          slot.body.clear();
          break;
        case 1: {  // write a piece
          if (!slot.upload) break;
          size_t n = std::min<size_t>(1 + arg, slot.length - slot.body.size());
          std::string piece(n, static_cast<char>('a' + (arg % 26)));
          if (!slot.upload->Write(piece.data(), piece.size())) {
            slot.upload.reset();  // refused: the disk is behind
            break;
          }
          slot.body += piece;
          break;
        }
        case 2:  // the client leaves
          slot.upload.reset();
          break;
        case 3: {  // the last byte, then the digest: right unless arg says otherwise
          if (!slot.upload) break;
          while (slot.body.size() < slot.length) {
            std::string piece(slot.length - slot.body.size(), 'z');
            if (!slot.upload->Write(piece.data(), piece.size())) break;
            slot.body += piece;
          }
          if (slot.body.size() < slot.length) {
            slot.upload.reset();
            break;
          }
          std::string flag = platform::md5_hex_upper(slot.body.data(), slot.body.size());
          if (arg == 0) flag[0] = flag[0] == 'A' ? 'B' : 'A';
          if (!slot.upload->Matches(flag)) {
            slot.upload.reset();
            break;
          }
          handed.push_back({slot.body, s.Store(std::move(slot.upload), "fuzz")});
          break;
        }
        case 4:
          s.Collect();
          break;
      }
    }
  }  // every upload left, the store finished and gone

  std::multiset<std::string> on_disk;
  for (const auto& e : fs::directory_iterator(g_dir)) {
    std::string name = e.path().filename().string();
    FUZZ_CHECK(name[0] != '.');  // no temporary survives
    FUZZ_CHECK(store::ParseReportFileName(name).has_value());
    std::ifstream f(e.path(), std::ios::binary);
    on_disk.insert(std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()));
  }
  std::multiset<std::string> answered;
  std::set<std::string> ids;
  for (const Handed& h : handed) {
    FUZZ_CHECK(h.result->status == 200 || h.result->status == 507);
    if (h.result->status != 200) continue;
    answered.insert(h.body);
    FUZZ_CHECK(ids.insert(h.result->id).second);  // ids are unique
  }
  FUZZ_CHECK(on_disk == answered);
  fs::remove_all(g_dir);
  return 0;
}
