// syncCode() copying a 2,000-file tree against cp -a of the same tree,
// measured side by side (alternating, median of each).
//
// On a shared disk the figures follow the disk's write-back more than either
// program; TMPDIR=/dev/shm measures the copying itself, --sync starts every
// measurement from a flushed disk, SV_BENCH_VERBOSE=1 prints every round.

#include "setup/code_sync.h"
#include "setup/command_runner.h"
#include "support/sandbox.h"
#include "timing.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using sv::bench::median;
using sv::bench::milliseconds;

} // namespace

int main(int argc, char** argv)
{
    // With --sync, every measurement starts from a flushed disk; without it,
    // from whatever the previous step left in the page cache (the order of
    // the two copies alternates, so neither always follows the other).
    const bool flush = argc > 1 && std::string(argv[1]) == "--sync";
    const auto settle = [flush] {
        if (flush)
            ::sync();
    };
    constexpr int rounds = 15;
    sv::test::Sandbox box;
    const sv::Globals globals((box / "home").string(), 0, "/usr/bin:/bin");
    const fs::path shipped = box / "shipped";

    // A Python program's shape: 40 packages of 50 modules, sizes from a few
    // hundred bytes to 16 KiB, a few scripts and links.
    int files = 3; // start.py, requirements.txt and .stamp
    sv::test::writeFile(shipped / "start.py", "print('start')\n");
    sv::test::writeFile(shipped / "requirements.txt", "\n");
    for (int package = 0; package < 40; ++package) {
        const fs::path dir = shipped / ("package" + std::to_string(package));
        for (int module = 0; files < 1999 && module < 50; ++module, ++files) {
            const std::size_t size = 200 + static_cast<std::size_t>((package * 50 + module) * 7919 % 16184);
            sv::test::writeFile(dir / ("module" + std::to_string(module) + ".py"), std::string(size, 'x'));
        }
    }
    fs::create_symlink("package0/module0.py", shipped / "main.py");
    fs::permissions(shipped / "start.py", fs::perms(0755));

    const fs::path copy = box / "cp-copy";
    const auto firstSync = [&](int round) {
        sv::test::writeFile(shipped / ".stamp", "build " + std::to_string(round) + "\n");
        fs::remove_all(globals.support);
        settle(); // the removal's writes must not land on the next measurement
        return milliseconds([&] {
            if (!sv::syncCode(globals, shipped.string()))
                std::exit(1);
        });
    };
    const auto copyWithCp = [&] {
        fs::remove_all(copy);
        settle();
        return milliseconds([&] {
            if (sv::run(globals, "/bin/cp", { "-a", shipped.string(), copy.string() }).status != 0)
                std::exit(1);
        });
    };
    std::vector<double> synced, updated, copied;
    for (int round = -1; round < rounds; ++round) { // round -1 warms the caches
        double first, cp;
        if (round % 2) {
            first = firstSync(round);
            cp = copyWithCp();
        } else {
            cp = copyWithCp();
            first = firstSync(round);
        }
        sv::test::writeFile(shipped / ".stamp", "build " + std::to_string(round) + " again\n");
        settle();
        const double update = milliseconds([&] {
            if (!sv::syncCode(globals, shipped.string()))
                std::exit(1);
        });
        if (round >= 0) {
            synced.push_back(first);
            copied.push_back(cp);
            updated.push_back(update);
        }
    }
    if (std::getenv("SV_BENCH_VERBOSE"))
        for (std::size_t i = 0; i < synced.size(); ++i)
            std::printf("  round %2zu: sync %7.2f  cp %7.2f  update %7.2f\n", i, synced[i], copied[i], updated[i]);
    const double a = median(synced), b = median(copied), c = median(updated);
    std::printf("tree of %d files and 1 link in 41 folders, median of %d rounds%s\n", files, rounds,
        flush ? ", disk flushed before each" : "");
    std::printf("  syncCode(), first launch:                     %7.2f ms\n", a);
    std::printf("  cp -a of the same tree:                       %7.2f ms\n", b);
    std::printf("  syncCode(), update (old copy removed too):    %7.2f ms\n", c);
    std::printf("ratio syncCode / cp -a: %.2fx (target within 1.3x)\n", a / b);
    return 0;
}
