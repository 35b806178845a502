#pragma once

#include <cstddef>
#include <functional>

namespace tarnwick {

// The number of worker threads to use by default: one per core.
unsigned DefaultWorkers();

// Runs `work(item, worker)` for every item in [0, count) on `workers` threads,
// `worker` telling which one (0 .. workers-1), and calls `deliver(item)` on the
// calling thread for every item in order, as soon as it and all before it are
// done: what the caller sees does not depend on scheduling. At most `ahead`
// items are done and not yet delivered. With one worker everything runs on the
// calling thread, item by item. `deliver` may be empty.
void OrderedParallel(std::size_t count, unsigned workers, std::size_t ahead,
                     const std::function<void(std::size_t item, unsigned worker)>& work,
                     const std::function<void(std::size_t item)>& deliver);

}  // namespace tarnwick
