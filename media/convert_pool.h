// A small pool of worker threads for conversions: jobs start in the order
// they were submitted, several at a time, while the caller takes their
// results in that same order. An import converts a folder in parallel this
// way and still copies the converted files to the device one at a time.
#ifndef CADENZA_MEDIA_CONVERT_POOL_H_
#define CADENZA_MEDIA_CONVERT_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "cadenza/status.h"

namespace cadenza {

class ConvertPool {
 public:
  // `workers` threads; 0 means one per hardware thread (at least one).
  explicit ConvertPool(unsigned workers = 0);
  // Cancels the jobs that have not started and waits for the running ones.
  ~ConvertPool();
  ConvertPool(const ConvertPool&) = delete;
  ConvertPool& operator=(const ConvertPool&) = delete;

  // Queues a job; returns its ticket: 0 for the first job, then 1, 2...
  // An empty job ends as Invalid.
  size_t Submit(std::function<Status()> job);

  // Blocks until the job of `ticket` has ended and returns its status:
  // Cancelled when it never ran, Invalid for a ticket never handed out.
  // A result can be fetched any number of times.
  Status Wait(size_t ticket);
  // The same, calling `idle` about every 50 ms while waiting (from the
  // waiting thread); when `idle` returns false the wait gives up with
  // Cancelled, and the job goes on.
  Status Wait(size_t ticket, const std::function<bool()>& idle);

  // Ends the jobs that have not started as Cancelled; jobs submitted later
  // run as usual.
  void Cancel();

  size_t finished() const;   // jobs that have ended (run or cancelled)
  size_t submitted() const;  // tickets handed out

  unsigned workers() const { return static_cast<unsigned>(threads_.size()); }

 private:
  struct Slot {
    std::function<Status()> job;  // released once the job has run
    Status status;
    bool done = false;
  };

  void Work();
  static Status Run(const std::function<Status()>& job);  // never throws
  void Finish(size_t ticket, Status status);  // with mutex_ held

  mutable std::mutex mutex_;
  std::condition_variable work_ready_;  // a job was queued, or stopping
  std::condition_variable job_done_;
  std::deque<Slot> slots_;  // by ticket
  size_t next_ = 0;         // the first ticket not yet started
  size_t finished_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace cadenza

#endif  // CADENZA_MEDIA_CONVERT_POOL_H_
