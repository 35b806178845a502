#include "platform/Threads.h"

#include <algorithm>

namespace tarnwick::os {

// Windows places threads well by itself: nothing is kept to a CPU.
std::vector<int> UsableCpus() { return {}; }

unsigned UsableCpuCount() { return std::max(1u, std::thread::hardware_concurrency()); }

void KeepToCpu(std::thread&, int) {}

}  // namespace tarnwick::os
