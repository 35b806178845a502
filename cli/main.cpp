#include "cli/Cli.h"
#include "cli/Translation.h"
#include "platform/FileSystem.h"

#include <csignal>
#include <iostream>
#ifndef _WIN32
#include <unistd.h>
#endif

#ifdef _WIN32
#include "platform/CodePage.h"

#include <fcntl.h>
#include <io.h>

#include <string>

// The arguments as the system holds them (UTF-16), so that any path arrives
// whole; passed on as UTF-8.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::u16string_view wide(reinterpret_cast<const char16_t*>(argv[i]),
                                       std::char_traits<wchar_t>::length(argv[i]));
        args.push_back(tarnwick::Utf16ToUtf8(wide).value_or(std::string()));
    }
    _setmode(_fileno(stdin), _O_BINARY);  // --files0-from - reads names as they are
    tarnwick::cli::SetUpTranslation(tarnwick::os::ProgramFile());
    tarnwick::cli::HandleStopSignals();
    return tarnwick::cli::Run(args, std::cout, std::cerr, false, &std::cin, _isatty(_fileno(stdin)) != 0);
}
#else
int main(int argc, char** argv) {
#ifdef SIGXFSZ
    // A file-size limit must fail the write, not kill the program half-way.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    tarnwick::cli::SetUpTranslation(tarnwick::os::ProgramFile());
    tarnwick::cli::HandleStopSignals();
    return tarnwick::cli::Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr, isatty(1) == 1,
                              &std::cin, isatty(0) == 1);
}
#endif
