// The provisioning cost of a normal launch, with everything in step: the code
// stamp unchanged, the interpreter executable and the requirements stamp
// equal to the requirements file. No external program may run.

#include "setup/code_sync.h"
#include "setup/command_runner.h"
#include "setup/python_env.h"
#include "support/sandbox.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

int main()
{
    namespace fs = std::filesystem;
    using Clock = std::chrono::steady_clock;
    constexpr int rounds = 5000;

    sv::test::Sandbox box;
    // An empty search path: had anything been run, the lookup would have
    // failed and ensurePython thrown.
    const sv::Globals globals((box / "home").string(), 0, (box / "empty").string());
    const fs::path shipped = box / "shipped";
    const std::string requirements = "flask==3.0\nwaitress==3.0\n";
    sv::test::writeFile(shipped / "start.py", "");
    sv::test::writeFile(shipped / ".stamp", "1.0 (1) 3f8a\n");
    sv::test::writeFile(shipped / "requirements.txt", requirements);
    sv::syncCode(globals, shipped.string());
    sv::test::writeFile(globals.python, "#!/bin/sh\n");
    fs::permissions(globals.python, fs::perms(0755));
    sv::test::writeFile(sv::requirementsStampPath(globals), requirements);

    std::vector<double> micros;
    micros.reserve(rounds);
    int statuses = 0;
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        const bool copied = sv::syncCode(globals, shipped.string());
        sv::ensurePython(globals, [&](const std::string&) { ++statuses; });
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (copied || statuses) {
            std::fprintf(stderr, "the launch was not in step\n");
            return 1;
        }
    }
    std::sort(micros.begin(), micros.end());
    std::printf("normal launch, syncCode() + ensurePython(), %d rounds\n", rounds);
    std::printf("  median %.1f us, 90th percentile %.1f us, 99th %.1f us (target: well under 1000 us)\n",
        micros[rounds / 2], micros[rounds * 9 / 10], micros[rounds * 99 / 100]);
    std::printf("ratio median / 1 ms: %.3f\n", micros[rounds / 2] / 1000.0);
    return 0;
}
