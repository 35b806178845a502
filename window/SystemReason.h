#pragma once

// The system's reason for a failure, in the window's language.

#include <QString>
#include <system_error>

namespace tarnwick::window {

// `code` in Russian: the program's words for the reasons a file operation
// meets (as glibc's Russian catalogue words them), else the system's own
// Russian words where it has them (glibc's catalogue under a Russian locale,
// Windows' Russian messages), else the system's words as they are.
QString SystemReason(const std::error_code& code);

namespace detail {
// The system's own Russian words for `code`, or "" where it has none (per platform).
QString SystemsRussian(const std::error_code& code);
}  // namespace detail

}  // namespace tarnwick::window
