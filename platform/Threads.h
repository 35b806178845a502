#pragma once

// Where threads run: the CPUs this process may use, and keeping a thread to one.

#include <thread>
#include <vector>

namespace tarnwick::os {

// The CPUs this process may run on (as `taskset` or a container set them), the
// calling thread's own last; empty where the system does not tell.
std::vector<int> UsableCpus();
// How many CPUs this process may use; at least 1.
unsigned UsableCpuCount();
// Keeps `thread` to `cpu`; best effort, nothing where the system has no such control.
void KeepToCpu(std::thread& thread, int cpu);

}  // namespace tarnwick::os
