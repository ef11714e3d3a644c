// Keeps the resume file up to date from a thread of its own, so that engrave-lcnc's main loop
// never waits on the disk: the newest record posted is written (the older ones it replaces are
// dropped), and the main loop asks whether a record is on disk before it arms the line that
// record speaks for.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "lcnc/ResumeFile.h"

namespace lcnc {

class ResumeJournal {
 public:
  explicit ResumeJournal(std::string path);
  ~ResumeJournal();  // writes what was posted, then stops
  ResumeJournal(const ResumeJournal&) = delete;
  ResumeJournal& operator=(const ResumeJournal&) = delete;

  const std::string& path() const { return path_; }

  // Main loop: a record to keep; its number.
  uint64_t Post(const ResumeRecord& record);
  // Main loop: the file goes, after the records posted before (the raster is complete).
  void Clear();
  // Whether the record of that number (or a later one) has been written, or failed.
  bool Written(uint64_t number) const;
  // Waits until everything posted is written (or failed).
  void Flush();
  // The last record posted, if any.
  std::optional<ResumeRecord> latest() const;
  // Why the last write failed; empty after a good one.
  std::string error() const;

 private:
  void Run();

  const std::string path_;
  mutable std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::optional<ResumeRecord> pending_;  // with clear_: the file goes instead
  std::optional<ResumeRecord> latest_;
  bool clear_ = false;
  bool hasWork_ = false;
  uint64_t posted_ = 0, written_ = 0;
  std::string error_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace lcnc
