#include "common/report/task_pool.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace nimbrel_report {

struct TaskPool::Shared {
  std::mutex mutex;
  std::condition_variable work_available;
  std::atomic<bool> stop{false};
  std::deque<std::pair<Task, std::string>> queue;
};

TaskPool::TaskPool(std::string name, std::size_t thread_count)
    : name_(std::move(name)), shared_(std::make_shared<Shared>()) {
  threads_.reserve(thread_count);
  for (std::size_t i = 0; i < thread_count; ++i) threads_.emplace_back(&TaskPool::WorkerLoop, shared_);
}

TaskPool::~TaskPool() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stop.store(true);
  }
  shared_->work_available.notify_all();
  for (std::thread& thread : threads_) {
    if (thread.get_id() == std::this_thread::get_id()) {
      // Destroyed by its own task: this thread finishes the queue once the
      // task returns, holding its own reference to it.
      thread.detach();
    } else if (thread.joinable()) {
      thread.join();
    }
  }
}

void TaskPool::Enqueue(Task task, std::string task_name) {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->queue.emplace_back(std::move(task), std::move(task_name));
  }
  shared_->work_available.notify_one();
}

void TaskPool::WorkerLoop(std::shared_ptr<Shared> shared) {
  std::unique_lock lock(shared->mutex);
  for (;;) {
    shared->work_available.wait(lock, [&] { return shared->stop.load() || !shared->queue.empty(); });
    // Stop ends the thread only once the queue is empty: that is the drain.
    if (shared->queue.empty()) return;
    Task task = std::move(shared->queue.front().first);
    shared->queue.pop_front();
    lock.unlock();
    try {
      if (task) task();
    } catch (...) {
      // One failing task must neither end the worker nor the process.
    }
    task = nullptr;  // release what the task holds before taking the lock
    lock.lock();
  }
}

}  // namespace nimbrel_report
