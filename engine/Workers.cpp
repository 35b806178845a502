#include "Workers.h"

#include <algorithm>

namespace tarnwick {

unsigned DefaultWorkers() { return std::max(1u, std::thread::hardware_concurrency()); }

WorkerPool::WorkerPool(unsigned workers) {
    for (unsigned w = 1; w < std::max(workers, 1u); ++w) helpers_.emplace_back(&WorkerPool::Help, this, w);
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    jobChanged_.notify_all();
    for (std::thread& t : helpers_) t.join();
}

void WorkerPool::Help(unsigned worker) {
    std::unique_lock lock(mutex_);
    std::size_t seen = 0;
    for (;;) {
        jobChanged_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
        if (worker >= use_) continue;
        ++active_;
        for (;;) {
            jobChanged_.wait(lock, [&] { return next_ >= count_ || next_ < delivered_ + ahead_; });
            if (next_ >= count_) break;
            const std::size_t item = next_++;
            lock.unlock();
            (*work_)(item, worker);
            lock.lock();
            done_[item % ahead_] = 1;
            if (item == delivered_) itemDone_.notify_one();
        }
        if (--active_ == 0) idle_.notify_one();
    }
}

void WorkerPool::Run(std::size_t count, unsigned use, std::size_t ahead, const Work& work, const Deliver& deliver) {
    use = static_cast<unsigned>(std::min<std::size_t>({std::max(use, 1u), Workers(), std::max<std::size_t>(count, 1)}));
    if (use == 1) {
        for (std::size_t i = 0; i < count; ++i) {
            work(i, 0);
            if (deliver) deliver(i);
        }
        return;
    }
    std::unique_lock lock(mutex_);
    work_ = &work;
    count_ = count;
    ahead_ = std::max<std::size_t>(ahead, use);
    next_ = delivered_ = 0;
    use_ = use;
    done_.assign(ahead_, 0);
    ++generation_;
    jobChanged_.notify_all();
    // The calling thread is worker 0 and tells the results.
    while (delivered_ < count) {
        if (done_[delivered_ % ahead_]) {
            done_[delivered_ % ahead_] = 0;
            const std::size_t item = delivered_;
            lock.unlock();
            if (deliver) deliver(item);
            lock.lock();
            ++delivered_;
            jobChanged_.notify_all();  // room ahead
        } else if (next_ < count && next_ < delivered_ + ahead_) {
            // Nothing to tell yet: work too.
            const std::size_t item = next_++;
            lock.unlock();
            work(item, 0);
            lock.lock();
            done_[item % ahead_] = 1;
        } else {
            itemDone_.wait(lock, [&] { return done_[delivered_ % ahead_] != 0; });
        }
    }
    // Helpers that joined leave once they see no item left.
    idle_.wait(lock, [&] { return active_ == 0; });
    use_ = 0;
    work_ = nullptr;
}

void OrderedParallel(std::size_t count, unsigned workers, std::size_t ahead, const WorkerPool::Work& work,
                     const WorkerPool::Deliver& deliver) {
    WorkerPool pool(static_cast<unsigned>(std::min<std::size_t>(std::max(workers, 1u), std::max<std::size_t>(count, 1))));
    pool.Run(count, workers, ahead, work, deliver);
}

}  // namespace tarnwick
