#include "server/store/report_intake.h"

#include "server/store/report_store.h"

namespace zandrel::store {
namespace {

class EmbeddedUpload final : public ReportIntake::Upload {
 public:
  explicit EmbeddedUpload(std::unique_ptr<ReportStore::Upload> upload) : upload_(std::move(upload)) {}
  bool Write(const char* data, std::size_t len) override { return upload_->Write(data, len); }
  uint64_t received() const override { return upload_->received(); }
  bool Matches(const std::string& flag) override { return upload_->Matches(flag); }
  std::unique_ptr<ReportStore::Upload> Take() { return std::move(upload_); }

 private:
  std::unique_ptr<ReportStore::Upload> upload_;
};

class Embedded final : public ReportIntake {
 public:
  explicit Embedded(ReportStore& store) : store_(store) {}
  Admission Admit(uint32_t peer, uint64_t length, uint32_t nowMs) override { return store_.Admit(peer, length, nowMs); }
  std::unique_ptr<Upload> Begin(uint32_t peer, uint64_t length) override {
    return std::make_unique<EmbeddedUpload>(store_.Begin(peer, length));
  }
  std::shared_ptr<const Storing> Store(std::unique_ptr<Upload> upload, const std::string& peerText) override {
    return store_.Store(static_cast<EmbeddedUpload&>(*upload).Take(), peerText);
  }
  void Collect() override { store_.Collect(); }
  std::size_t storing() const override { return store_.storing(); }
  uint64_t stored() const override { return store_.stored(); }

 private:
  ReportStore& store_;
};

}  // namespace

std::unique_ptr<ReportIntake> EmbeddedIntake(ReportStore& store) { return std::make_unique<Embedded>(store); }

}  // namespace zandrel::store
