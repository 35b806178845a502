#include "Workers.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace tarnwick {

unsigned DefaultWorkers() { return std::max(1u, std::thread::hardware_concurrency()); }

void OrderedParallel(std::size_t count, unsigned workers, std::size_t ahead,
                     const std::function<void(std::size_t, unsigned)>& work,
                     const std::function<void(std::size_t)>& deliver) {
    workers = static_cast<unsigned>(std::min<std::size_t>(std::max(workers, 1u), std::max<std::size_t>(count, 1)));
    if (workers == 1) {
        for (std::size_t i = 0; i < count; ++i) {
            work(i, 0);
            if (deliver) deliver(i);
        }
        return;
    }
    ahead = std::max<std::size_t>(ahead, workers);
    std::mutex mutex;
    std::condition_variable itemDone;  // the calling thread waits for the next item to tell
    std::condition_variable room;      // helpers wait for room ahead of the telling
    std::vector<char> done(ahead, 0);  // a ring: item i in slot i % ahead
    std::size_t next = 0, delivered = 0;
    unsigned waiting = 0;  // helpers waiting for room

    // The calling thread is worker 0 and tells the results; helpers are the rest.
    const auto help = [&](unsigned worker) {
        std::unique_lock lock(mutex);
        for (;;) {
            if (next < count && next >= delivered + ahead) {
                ++waiting;
                room.wait(lock, [&] { return next >= count || next < delivered + ahead; });
                --waiting;
            }
            if (next >= count) return;
            const std::size_t item = next++;
            lock.unlock();
            work(item, worker);
            lock.lock();
            done[item % ahead] = 1;
            if (item == delivered) itemDone.notify_one();
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(workers - 1);
    for (unsigned w = 1; w < workers; ++w) helpers.emplace_back(help, w);

    std::unique_lock lock(mutex);
    while (delivered < count) {
        if (done[delivered % ahead]) {
            done[delivered % ahead] = 0;
            const std::size_t item = delivered;
            lock.unlock();
            if (deliver) deliver(item);
            lock.lock();
            ++delivered;
            if (waiting) room.notify_all();
        } else if (next < count && next < delivered + ahead) {
            // Nothing to tell yet: work too.
            const std::size_t item = next++;
            lock.unlock();
            work(item, 0);
            lock.lock();
            done[item % ahead] = 1;
        } else {
            itemDone.wait(lock, [&] { return done[delivered % ahead] != 0; });
        }
    }
    lock.unlock();
    for (std::thread& t : helpers) t.join();
}

}  // namespace tarnwick
