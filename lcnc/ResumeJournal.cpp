#include "lcnc/ResumeJournal.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lcnc {

ResumeJournal::ResumeJournal(std::string path) : path_(std::move(path)) {
  thread_ = std::thread(&ResumeJournal::Run, this);
}

ResumeJournal::~ResumeJournal() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

uint64_t ResumeJournal::Post(const ResumeRecord& record) {
  std::lock_guard lock(mutex_);
  pending_ = record;
  latest_ = record;
  clear_ = false;
  hasWork_ = true;
  wake_.notify_all();
  return ++posted_;
}

void ResumeJournal::Clear() {
  std::lock_guard lock(mutex_);
  pending_.reset();
  latest_.reset();
  clear_ = true;
  hasWork_ = true;
  ++posted_;
  wake_.notify_all();
}

bool ResumeJournal::Written(uint64_t number) const {
  std::lock_guard lock(mutex_);
  return written_ >= number;
}

void ResumeJournal::Flush() {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return written_ >= posted_; });
}

std::optional<ResumeRecord> ResumeJournal::latest() const {
  std::lock_guard lock(mutex_);
  return latest_;
}

std::string ResumeJournal::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

void ResumeJournal::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return hasWork_ || stop_; });
    if (!hasWork_) return;  // stopping, nothing left
    // Only the newest record counts: those it replaced are never written.
    const std::optional<ResumeRecord> record = pending_;
    const bool clear = clear_;
    const uint64_t number = posted_;
    pending_.reset();
    hasWork_ = false;
    lock.unlock();
    std::string error;
    if (clear) {
      if (unlink(path_.c_str()) != 0 && errno != ENOENT)
        error = "cannot remove " + path_ + ": " + std::strerror(errno);
    } else if (record) {
      WriteResumeFile(path_, *record, &error);
    }
    lock.lock();
    error_ = error;
    written_ = number;
    done_.notify_all();
  }
}

}  // namespace lcnc
