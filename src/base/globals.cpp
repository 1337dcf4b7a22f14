#include "base/globals.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <pwd.h>
#include <unistd.h>

namespace sv {
namespace {

std::unique_ptr<const Globals>& processGlobals()
{
    static std::unique_ptr<const Globals> values;
    return values;
}

} // namespace

Globals::Globals(std::string homeDirectory, std::int64_t serverPort, std::string_view executableSearchPath)
    : port(serverPort)
    , home(std::move(homeDirectory))
    , support(home + "/Library/Application Support/Sandvoll")
    , project(support + "/app")
    , venv(support + "/venv")
    , python(venv + "/bin/python")
    , appURL("http://127.0.0.1:" + std::to_string(port) + "/")
    , searchPath(executableSearchPath)
{
}

std::string userHomeDirectory()
{
    // HOME first, as every desktop program does; the password database only
    // when it is unset.
    std::string home;
    if (const char* env = std::getenv("HOME"); env && *env)
        home = env;
    else if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir)
        home = entry->pw_dir;
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return home;
}

const Globals& globals()
{
    const auto& values = processGlobals();
    if (!values) {
        std::fputs("Sandvoll: process-wide values read before they were set\n", stderr);
        std::abort();
    }
    return *values;
}

void installGlobals(Globals values)
{
    auto& slot = processGlobals();
    if (slot) {
        std::fputs("Sandvoll: process-wide values set twice\n", stderr);
        std::abort();
    }
    slot = std::make_unique<const Globals>(std::move(values));
}

} // namespace sv
