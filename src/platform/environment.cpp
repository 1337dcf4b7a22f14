#include "platform/environment.h"

#include <cstdlib>
#include <functional>
#include <mutex>
#include <set>
#include <string_view>

extern char** environ;

namespace sv::platform {
namespace {

std::mutex& ownEntriesLock()
{
    static std::mutex lock;
    return lock;
}

// The "NAME=value" entries this process added for itself. An entry that
// has changed since (someone set the variable again) is no longer ours.
std::set<std::string, std::less<>>& ownEntries()
{
    static std::set<std::string, std::less<>> entries;
    return entries;
}

} // namespace

void setOwnVariable(const std::string& name, const std::string& value)
{
    std::lock_guard guard(ownEntriesLock());
    if (std::getenv(name.c_str()))
        return;
    if (::setenv(name.c_str(), value.c_str(), 0) == 0)
        ownEntries().insert(name + "=" + value);
}

std::vector<std::string> environmentForChildren()
{
    std::lock_guard guard(ownEntriesLock());
    const auto& own = ownEntries();
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        if (own.contains(text) || text.starts_with("DESKTOP_STARTUP_ID=") || text.starts_with("XDG_ACTIVATION_TOKEN="))
            continue;
        entries.emplace_back(text);
    }
    return entries;
}

} // namespace sv::platform
