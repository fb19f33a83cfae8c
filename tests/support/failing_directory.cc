#include "failing_directory.h"

namespace fendral::testing {
namespace {

IoError injected(const char* what) { return IoError(IoErrorKind::Other, std::string("injected ") + what + " failure"); }

bool is_lock_file(const std::string& path) { return path.ends_with(".lock"); }

class FailingWrite final : public TerminatingWrite {
 public:
  FailingWrite(WriteHandle inner, std::shared_ptr<FaultPlan> plan) : inner_(std::move(inner)), plan_(std::move(plan)) {}

  IoResult<size_t> write(std::span<const uint8_t> bytes) override {
    if (plan_->on_write()) return std::unexpected(injected("write"));
    return inner_->write(bytes);
  }
  IoResult<void> flush() override { return inner_->flush(); }
  IoResult<void> terminate_ref() override {
    if (plan_->on_sync()) return std::unexpected(injected("sync"));
    return inner_->terminate_ref();
  }

 private:
  WriteHandle inner_;
  std::shared_ptr<FaultPlan> plan_;
};

}  // namespace

void FaultPlan::arm(Kind kind, uint64_t nth) {
  fired_ = false;
  write_countdown_ = kind == Kind::Write ? static_cast<int64_t>(nth) : 0;
  sync_countdown_ = kind == Kind::Sync ? static_cast<int64_t>(nth) : 0;
}

void FaultPlan::disarm() {
  write_countdown_ = 0;
  sync_countdown_ = 0;
}

bool FaultPlan::hit(std::atomic<int64_t>& countdown) {
  int64_t left = countdown.load();
  while (left > 0) {
    if (countdown.compare_exchange_weak(left, left - 1)) {
      if (left != 1) return false;
      fired_ = true;
      return true;
    }
  }
  return false;
}

std::expected<WriteHandle, OpenWriteError> FailingDirectory::open_write(const std::string& path) const {
  auto inner = inner_->open_write(path);
  if (!inner || is_lock_file(path)) return inner;
  return std::make_unique<BufferedWriter>(std::make_unique<FailingWrite>(std::move(*inner), plan_));
}

IoResult<void> FailingDirectory::atomic_write(const std::string& path, std::span<const uint8_t> bytes) const {
  if (plan_->on_write()) return std::unexpected(injected("write"));
  auto r = inner_->atomic_write(path, bytes);
  if (!r) return r;
  if (plan_->on_sync()) return std::unexpected(injected("sync"));
  return r;
}

IoResult<void> FailingDirectory::sync_directory() const {
  if (plan_->on_sync()) return std::unexpected(injected("sync"));
  return inner_->sync_directory();
}

}  // namespace fendral::testing
