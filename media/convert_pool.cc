#include "media/convert_pool.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

namespace cadenza {

ConvertPool::ConvertPool(unsigned workers) {
  if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
  threads_.reserve(workers);
  for (unsigned i = 0; i < workers; ++i) {
    try {
      threads_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      break;  // the system gives no more threads: fewer workers, or none (see Submit)
    }
  }
}

ConvertPool::~ConvertPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  Cancel();
  work_ready_.notify_all();
  for (std::thread& t : threads_) t.join();
}

size_t ConvertPool::Submit(std::function<Status()> job) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (threads_.empty()) {
    // Without a worker the job runs here and now.
    slots_.push_back(Slot{nullptr, Status::OK(), false});
    const size_t ticket = slots_.size() - 1;
    next_ = slots_.size();
    lock.unlock();
    Status status = Run(job);
    lock.lock();
    Finish(ticket, std::move(status));
    return ticket;
  }
  slots_.push_back(Slot{std::move(job), Status::OK(), false});
  work_ready_.notify_one();
  return slots_.size() - 1;
}

Status ConvertPool::Run(const std::function<Status()>& job) {
  if (!job) return Status::Invalid("an empty conversion job");
  try {
    return job();
  } catch (...) {
    return Status::Invalid("the conversion job failed with an exception");
  }
}

void ConvertPool::Finish(size_t ticket, Status status) {
  Slot& slot = slots_[ticket];
  slot.status = std::move(status);
  slot.done = true;
  slot.job = nullptr;
  ++finished_;
  job_done_.notify_all();
}

void ConvertPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Skip jobs that were cancelled before they started.
    while (next_ < slots_.size() && slots_[next_].done) ++next_;
    if (next_ < slots_.size()) {
      const size_t ticket = next_++;
      std::function<Status()> job = std::move(slots_[ticket].job);
      lock.unlock();
      Status status = Run(job);
      lock.lock();
      Finish(ticket, std::move(status));
      continue;
    }
    if (stopping_) return;
    work_ready_.wait(lock);
  }
}

Status ConvertPool::Wait(size_t ticket) { return Wait(ticket, nullptr); }

Status ConvertPool::Wait(size_t ticket, const std::function<bool()>& idle) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (ticket >= slots_.size()) return Status::Invalid("no conversion job has that ticket");
  constexpr auto kIdlePeriod = std::chrono::milliseconds(50);
  auto next_idle = std::chrono::steady_clock::now() + kIdlePeriod;
  while (!slots_[ticket].done) {
    if (!idle) {
      job_done_.wait(lock);
      continue;
    }
    // Other jobs ending wake this wait too; `idle` is still called on time.
    if (job_done_.wait_until(lock, next_idle) == std::cv_status::no_timeout) continue;
    lock.unlock();
    const bool go_on = idle();
    lock.lock();
    if (!go_on) return Status::Cancelled("the wait for the conversion was given up");
    next_idle = std::chrono::steady_clock::now() + kIdlePeriod;
  }
  return slots_[ticket].status;
}

void ConvertPool::Cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t t = next_; t < slots_.size(); ++t) {
    if (!slots_[t].done) Finish(t, Status::Cancelled("the conversion was cancelled"));
  }
  next_ = slots_.size();
}

size_t ConvertPool::finished() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

size_t ConvertPool::submitted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return slots_.size();
}

}  // namespace cadenza
