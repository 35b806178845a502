#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tarnwick::cli {

// Runs the command line `args` (without the program name): output lines to
// `out`, the summary and messages to `err`. Returns the exit status:
// 0 no file failed, 1 some file failed, 2 a usage error, 3 the output could
// not be written. `outIsTerminal`: `out` is a terminal (colours by default).
// `in`: standard input, for --files0-from - and the answers of
// --interactive, which needs `inIsTerminal`.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool outIsTerminal = false,
        std::istream* in = nullptr, bool inIsTerminal = false);

// Makes SIGINT, SIGTERM and SIGHUP stop a run as a user's stop does: the files
// in flight are finished, none is started, the record for undo is written and
// the summary says so; Run then returns 128 + the signal's number (130, 143,
// 129). A second such signal ends the program at once. SIGPIPE is ignored: a
// closed output stops the run as an output that cannot be written (3).
void HandleStopSignals();

}  // namespace tarnwick::cli
