#include "Cli.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv) {
#ifdef SIGXFSZ
    // A file-size limit must fail the write, not kill the program half-way.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    return tarnwick::cli::Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
