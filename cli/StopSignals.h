#pragma once

// Stopping a run by a signal (SIGINT, SIGTERM, SIGHUP; Cli.h's HandleStopSignals).

#include "engine/run/Run.h"

#include <iosfwd>
#include <optional>

namespace tarnwick::cli {

// Set when a stop signal came; runs stop on it.
const StopRequest& StopRequested();
// Where a signal stopped the run: says so on `err` and gives the exit status
// (128 + the signal's number); nothing otherwise.
std::optional<int> StoppedBySignal(std::ostream& err);
// Waits until standard input (a terminal) has something to read: false when
// a stop signal came first (a read would not return for it).
bool WaitForTerminalInput();

}  // namespace tarnwick::cli
