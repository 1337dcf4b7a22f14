#include "platform/system_version.h"

#include <sys/utsname.h>

namespace sv::platform {

SystemVersion parseKernelRelease(std::string_view release)
{
    std::int64_t numbers[3] = { 0, 0, 0 };
    std::size_t at = 0;
    for (int index = 0; index < 3; ++index) {
        if (index > 0) {
            if (at >= release.size() || release[at] != '.')
                break;
            ++at;
        }
        const std::size_t start = at;
        std::int64_t value = 0;
        while (at < release.size() && release[at] >= '0' && release[at] <= '9') {
            // Anything this long is not a version number; keep what came before.
            if (value > (INT64_MAX - 9) / 10)
                return { numbers[0], numbers[1], numbers[2] };
            value = value * 10 + (release[at] - '0');
            ++at;
        }
        if (at == start)
            break;
        numbers[index] = value;
    }
    return { numbers[0], numbers[1], numbers[2] };
}

SystemVersion runningSystemVersion()
{
    utsname name {};
    if (uname(&name) != 0)
        return {};
    return parseKernelRelease(name.release);
}

} // namespace sv::platform
