#include "update/relaunch.h"

#include "base/bundle_info.h"
#include "platform/dispatch.h"
#include "platform/ui.h"
#include "update/swap_script.h"
#include "update/update_error.h"

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace sv {
namespace {

// Set once in main before any thread starts, taken once on the main thread.
RelaunchNotice kept;

std::string takeVariable(const char* name)
{
    const char* value = std::getenv(name);
    std::string text = value ? value : "";
    ::unsetenv(name);
    return text;
}

} // namespace

void takeRelaunchNotice()
{
    kept.startedFile = takeVariable(startedFileVariable);
    kept.notInstalledReason = takeVariable(notInstalledVariable);
    // Only a descriptor that is open, and only from the script that set the
    // other two: a stray variable must not make this launch skip the wait.
    const auto lock = parseSignedInteger(takeVariable(swapLockVariable));
    if (lock && *lock > STDERR_FILENO && *lock <= INT_MAX && (!kept.startedFile.empty() || !kept.notInstalledReason.empty())
        && ::fcntl(static_cast<int>(*lock), F_SETFD, FD_CLOEXEC) == 0)
        kept.swapLock = static_cast<int>(*lock);
}

bool startedBySwap() { return kept.swapLock >= 0; }

void finishRelaunch() { finishRelaunch(std::exchange(kept, RelaunchNotice {})); }

void finishRelaunch(const RelaunchNotice& notice)
{
    // Only ever a new, empty file: the name comes from the environment, and
    // nothing that is already there may be overwritten or followed.
    if (!notice.startedFile.empty()) {
        const int started = ::open(notice.startedFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (started >= 0)
            ::close(started);
    }
    // After the started file, so that a launch let in now never finds the
    // script still deciding whether to put the old version back.
    if (notice.swapLock >= 0)
        ::close(notice.swapLock);
    if (const auto text = notInstalledText(notice.notInstalledReason)) {
        // Later, so that the caller (a frame callback) is not held up by the
        // box's own loop.
        platform::mainAsync([text = std::string(*text)] { platform::alert(std::string(updateNotInstalledTitle), text); });
    }
}

std::optional<std::string_view> notInstalledText(std::string_view reason)
{
    if (reason == "start")
        return couldNotStartText;
    // Renaming beside the app failed: a disk error like any other.
    if (reason == "swap")
        return informativeText(std::exception_ptr());
    return std::nullopt;
}

} // namespace sv
