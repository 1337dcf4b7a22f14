// run() collecting a child's output, against cat copying the same bytes to
// /dev/null, measured side by side (alternating, median of each): once for
// what an installer prints on a normal day, once for 64 MB, of which run()
// keeps the last part.

#include "setup/command_runner.h"
#include "support/sandbox.h"
#include "timing.h"

#include <cstdio>
#include <string>
#include <vector>

using sv::bench::median;
using sv::bench::milliseconds;

namespace {

void measure(const sv::Globals& globals, const sv::test::Sandbox& box, std::size_t size, int rounds)
{
    // Installer-like text: ASCII lines, each with one non-ASCII character.
    std::string text;
    text.reserve(size);
    for (std::size_t line = 0; text.size() < size; ++line)
        text += "  Downloading package_" + std::to_string(line) + "-1.0-py3-none-any.whl (12.3 kB) \u2014 ok\n";
    text.resize(size - 1);
    text += '\n';
    // What run() hands back: the end of the text, from a whole character on.
    std::size_t from = text.size() > sv::keptOutputBytes ? text.size() - sv::keptOutputBytes : 0;
    while ((static_cast<unsigned char>(text[from]) & 0xC0) == 0x80)
        ++from;
    const std::size_t kept = text.size() - from;
    const std::string file = (box / ("output-" + std::to_string(size) + ".txt")).string();
    sv::test::writeFile(file, text);
    const std::string quoted = "'" + file + "'";

    std::vector<double> collected, toNull, throughPipe;
    for (int round = -1; round < rounds; ++round) { // round -1 warms the caches
        double a = milliseconds([&] {
            const auto result = sv::run(globals, "/bin/cat", { file });
            if (result.status != 0 || result.output.size() != kept
                || result.output.compare(0, std::string::npos, text, from) != 0) {
                std::fprintf(stderr, "run() returned %d with %zu bytes\n", result.status, result.output.size());
                std::exit(1);
            }
        });
        double b = milliseconds([&] { (void)sv::run(globals, "/bin/sh", { "-c", "cat " + quoted + " >/dev/null" }); });
        double c = milliseconds([&] { (void)sv::run(globals, "/bin/sh", { "-c", "cat " + quoted + " | cat >/dev/null" }); });
        if (round >= 0) {
            collected.push_back(a);
            toNull.push_back(b);
            throughPipe.push_back(c);
        }
    }
    const double a = median(collected), b = median(toNull), c = median(throughPipe);
    const double mb = static_cast<double>(size) / (1 << 20);
    std::printf("%.2f MB (%zu bytes kept), median of %d rounds\n", mb, kept, rounds);
    std::printf("  run(cat file), output collected and checked: %8.2f ms  (%6.0f MB/s)\n", a, mb / a * 1000);
    std::printf("  cat file >/dev/null:                         %8.2f ms  (%6.0f MB/s)\n", b, mb / b * 1000);
    std::printf("  cat file | cat >/dev/null:                   %8.2f ms  (%6.0f MB/s)\n", c, mb / c * 1000);
    std::printf("ratio run / cat to /dev/null:         %.2fx (target within 1.3x)\n", a / b);
    std::printf("ratio run / cat through a pipe:       %.2fx\n", a / c);
}

} // namespace

int main()
{
    sv::test::Sandbox box;
    const sv::Globals globals((box / "home").string(), 0, "/usr/bin:/bin");
    measure(globals, box, 256u << 10, 101);
    measure(globals, box, 64u << 20, 15);
    return 0;
}
