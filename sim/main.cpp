// wexel-instrument-sim: a stand-in for the instrument on a pseudo-terminal.
#include "sim/simoptions.h"
#include "sim/simulator.h"

#include <cstdio>
#include <string_view>
#include <vector>

int main(int argc, char **argv)
{
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    SimOptions options;
    if (const std::string error = options.parse(args); !error.empty()) {
        std::fprintf(stderr, "wexel-instrument-sim: %s\nTry --help.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(SimOptions::usage("wexel-instrument-sim").c_str(), stdout);
        return 0;
    }
    return Simulator(std::move(options)).run();
}
