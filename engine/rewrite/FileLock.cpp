#include "engine/rewrite/FileLock.h"

#include <algorithm>
#include <thread>

namespace tarnwick {

bool LockWaiting(os::File& file, std::chrono::milliseconds wait, const std::atomic<bool>* stop) {
    const auto until = std::chrono::steady_clock::now() + wait;
    bool locked = file.TryLock();
    for (int nap = 1; !locked && std::chrono::steady_clock::now() < until && !(stop && stop->load());
         nap = std::min(nap * 2, 50)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(nap));
        locked = file.TryLock();
    }
    return locked;
}

}  // namespace tarnwick
