// A fixed set of worker threads running queued tasks in first-in first-out
// order. Destroying the pool stops it, runs every task queued before the stop
// and joins the threads.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace nimbrel_report {

class TaskPool {
 public:
  using Task = std::function<void()>;

  TaskPool(std::string name, std::size_t thread_count);
  ~TaskPool();
  TaskPool(const TaskPool&) = delete;
  TaskPool& operator=(const TaskPool&) = delete;

  void Enqueue(Task task, std::string task_name = {});

  const std::string& name() const { return name_; }
  std::size_t thread_count() const { return threads_.size(); }

 private:
  struct Shared;
  static void WorkerLoop(std::shared_ptr<Shared> shared);

  std::string name_;
  // Shared with the threads, so a pool destroyed by one of its own tasks
  // leaves that thread a valid queue to finish.
  std::shared_ptr<Shared> shared_;
  std::vector<std::thread> threads_;
};

}  // namespace nimbrel_report
