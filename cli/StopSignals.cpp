#include "cli/StopSignals.h"
#include "cli/Translation.h"

#include "cli/Cli.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#ifndef _WIN32
#include <poll.h>
#endif
#include <ostream>

namespace tarnwick::cli {

namespace {

StopRequest stopRequest{false};
std::atomic<int> stopSignal{0};

extern "C" void OnStopSignal(int signal) {
    stopSignal = signal;
    stopRequest = true;
    std::signal(signal, SIG_DFL);  // a second one ends the program at once
}

const char* SignalName(int signal) {
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
#ifdef SIGHUP
    case SIGHUP: return "SIGHUP";
#endif
    }
    return "a signal";
}

}  // namespace

void HandleStopSignals() {
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
#ifdef SIGHUP
    std::signal(SIGHUP, OnStopSignal);
#endif
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

const StopRequest& StopRequested() { return stopRequest; }

bool WaitForTerminalInput() {
#ifdef _WIN32
    return !stopRequest;
#else
    pollfd in{0, POLLIN, 0};
    while (!stopRequest) {
        const int ready = ::poll(&in, 1, 100);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return true;  // (the read then tells what is wrong)
    }
    return false;
#endif
}

std::optional<int> StoppedBySignal(std::ostream& err) {
    if (!stopRequest) return std::nullopt;
    err << "tarnwick-cli: "
        << Fill(Tr("stopped by {}: the files in progress were finished and no other was started"),
                {SignalName(stopSignal)})
        << '\n';
    return 128 + stopSignal;
}

}  // namespace tarnwick::cli
