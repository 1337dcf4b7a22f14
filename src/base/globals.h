#pragma once
// The process-wide values: fixed once, before the delegate exists, and only
// read afterwards, from any thread.

#include <cstdint>
#include <string>
#include <string_view>

namespace sv {

inline constexpr std::int64_t defaultPort = 8766;
inline constexpr std::string_view defaultSearchPath = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin";

struct Globals {
    // Builds every value from the home directory, in order: port, home,
    // support, project, venv, python, appURL, searchPath. The shipping app
    // uses the defaults; tests pass their own port and search directories.
    explicit Globals(std::string homeDirectory, std::int64_t serverPort = defaultPort,
        std::string_view executableSearchPath = defaultSearchPath);

    std::int64_t port;
    std::string home;
    std::string support;
    std::string project;
    std::string venv;
    std::string python;
    std::string appURL;
    std::string searchPath;
};

// The home directory as the platform reports it, without a trailing slash.
std::string userHomeDirectory();

// The values of this process. Set once by the entry point.
const Globals& globals();
void installGlobals(Globals values);

} // namespace sv
