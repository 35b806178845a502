#include "platform/Threads.h"

#include <algorithm>

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#endif

namespace tarnwick::os {

#ifdef __linux__

std::vector<int> UsableCpus() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return {};
    const int here = ::sched_getcpu();
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed) && cpu != here) cpus.push_back(cpu);
    if (here >= 0 && CPU_ISSET(here, &allowed)) cpus.push_back(here);
    return cpus;
}

unsigned UsableCpuCount() { return std::max<unsigned>(1, static_cast<unsigned>(UsableCpus().size())); }

void KeepToCpu(std::thread& thread, int cpu) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    ::pthread_setaffinity_np(thread.native_handle(), sizeof one, &one);
}

#else  // other POSIX systems: no affinity to ask or set

std::vector<int> UsableCpus() { return {}; }

unsigned UsableCpuCount() { return std::max(1u, std::thread::hardware_concurrency()); }

void KeepToCpu(std::thread&, int) {}

#endif

}  // namespace tarnwick::os
