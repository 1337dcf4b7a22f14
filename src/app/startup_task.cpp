// The start-up work after the window shows: provisioning on a worker, then
// the server and the first load on the main thread.

#include "app/app_delegate.h"
#include "platform/dispatch.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "setup/code_sync.h"
#include "setup/command_runner.h"
#include "setup/python_env.h"

#include <exception>
#include <filesystem>
#include <string_view>

namespace sv {
namespace {

// The text a person is shown for an error: a file-system error's own words
// and paths, without the library's technical prefix.
std::string describe(const std::exception& error)
{
    std::string_view text = error.what();
    if (dynamic_cast<const std::filesystem::filesystem_error*>(&error)) {
        constexpr std::string_view prefix = "filesystem error: ";
        if (text.starts_with(prefix))
            text.remove_prefix(prefix.size());
    }
    return std::string(text);
}

} // namespace

void AppDelegate::startupTask()
{
    try {
        syncCode(globals_, shippedCode);
        ensurePython(globals_, [this](const std::string& line) {
            platform::mainAsync([this, line] { showStatus(line); });
        });
    } catch (const SetupError& error) {
        failStartup(error.message);
        return;
    } catch (const std::exception& error) {
        failStartup(describe(error));
        return;
    }
    // Status lines were posted before this, on the same queue, so they are
    // all shown before the server step runs. The step waits for the window's
    // first frame: forking the server and its own start take the processor
    // that frame needs, and an earlier server would not bring the page
    // sooner, since WebKit's web process, started at that frame, takes
    // longer to come up than the server.
    platform::mainAsync([this] {
        whenFirstFrameShown([this] {
            if (!serverUp())
                startServer();
            waitAndLoad(0);
            if (startUpdater)
                startUpdater();
        });
    });
}

void AppDelegate::failStartup(const std::string& errorText)
{
    platform::mainAsync([this, text = platform::lastCharacters(errorText, startupErrorCharacters)] {
        platform::alert(cantStartTitle, text);
        terminateApp();
    });
}

} // namespace sv
