#include "engine/run/Workers.h"

#include "platform/Threads.h"

#include <algorithm>

namespace tarnwick {

unsigned DefaultWorkers() { return os::UsableCpuCount(); }

WorkerPool::WorkerPool(unsigned workers) {
    // Each helper keeps to a CPU of its own, away from the calling thread's.
    // Some kernels (virtual machines packing threads onto few virtual CPUs)
    // otherwise queue a new or woken thread behind its creator for
    // milliseconds while another CPU idles, and a check of a folder is over
    // in a few tens of them. The helpers take their items from one counter,
    // so one held up on a busy CPU only does fewer of them.
    const std::vector<int> cpus = workers > 1 ? os::UsableCpus() : std::vector<int>{};
    for (unsigned w = 1; w < std::max(workers, 1u); ++w) {
        helpers_.emplace_back(&WorkerPool::Help, this);
        if (cpus.size() > 1) os::KeepToCpu(helpers_.back(), cpus[(w - 1) % cpus.size()]);
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    jobPosted_.notify_all();
    for (std::thread& t : helpers_) t.join();
}

void WorkerPool::Help() {
    std::unique_lock lock(mutex_);
    std::size_t seen = 0;
    for (;;) {
        // Only as many helpers as a job uses are woken for it; any of them may
        // take a place, and its number with it.
        jobPosted_.wait(lock, [&] { return stopping_ || (generation_ != seen && joined_ + 1 < use_); });
        if (stopping_) return;
        seen = generation_;
        const unsigned worker = ++joined_;
        ++active_;
        for (;;) {
            roomMade_.wait(lock, [&] { return next_ >= count_ || next_ < delivered_ + ahead_; });
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
    joined_ = 0;
    done_.assign(ahead_, 0);
    ++generation_;
    for (unsigned helper = 1; helper < use; ++helper) jobPosted_.notify_one();
    // The calling thread is worker 0 and tells the results.
    while (delivered_ < count) {
        // Every item due and done is told in one go, without the lock.
        std::size_t run = 0;
        for (; delivered_ + run < count && done_[(delivered_ + run) % ahead_]; ++run)
            done_[(delivered_ + run) % ahead_] = 0;
        if (run) {
            const std::size_t from = delivered_;
            lock.unlock();
            if (deliver)
                for (std::size_t item = from; item < from + run; ++item) deliver(item);
            lock.lock();
            delivered_ += run;
            roomMade_.notify_all();
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

}  // namespace tarnwick
