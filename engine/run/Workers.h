#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tarnwick {

// The number of worker threads to use by default: one per CPU this process
// may use (its affinity mask: `taskset`, container CPU sets).
unsigned DefaultWorkers();

// Threads kept for the runs of one correction, so that each group of files
// does not start its own.
class WorkerPool {
public:
    using Work = std::function<void(std::size_t item, unsigned worker)>;
    using Deliver = std::function<void(std::size_t item)>;

    // `workers` in all: the calling thread of Run and workers - 1 kept threads.
    explicit WorkerPool(unsigned workers);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    unsigned Workers() const { return static_cast<unsigned>(helpers_.size()) + 1; }

    // Runs `work(item, worker)` for every item in [0, count) on up to `use`
    // workers, `worker` telling which one (0 .. use-1), and calls
    // `deliver(item)` on the calling thread for every item in order, as soon
    // as it and all before it are done: what the caller sees does not depend
    // on scheduling. At most `ahead` items (at least one per worker) are done
    // and not yet delivered.
    // With one worker everything runs on the calling thread, item by item.
    // `deliver` may be empty. Not for two calls at once.
    void Run(std::size_t count, unsigned use, std::size_t ahead, const Work& work, const Deliver& deliver);

private:
    void Help();

    std::vector<std::thread> helpers_;
    std::mutex mutex_;
    std::condition_variable jobPosted_;  // idle helpers wait for a job
    std::condition_variable roomMade_;   // helpers in a job wait for room ahead of the telling
    std::condition_variable itemDone_;   // the calling thread waits for the next item to tell
    std::condition_variable idle_;       // the calling thread waits for the helpers to leave a job
    // The current job.
    const Work* work_ = nullptr;
    std::size_t count_ = 0, ahead_ = 0, next_ = 0, delivered_ = 0;
    unsigned use_ = 0, joined_ = 0, active_ = 0;
    std::vector<char> done_;  // a ring: item i in slot i % ahead_
    std::size_t generation_ = 0;
    bool stopping_ = false;
};

}  // namespace tarnwick
