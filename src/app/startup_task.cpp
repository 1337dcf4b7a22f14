// The start-up work: provisioning on a worker, then the server and the first
// load on the main thread; and the server's early start, when provisioning
// has nothing to do.

#include "app/app_delegate.h"
#include "platform/dispatch.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "server/server_process.h"
#include "server/start_watch.h"
#include "setup/code_sync.h"
#include "setup/command_runner.h"
#include "setup/python_env.h"

#include <chrono>
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
    // The early start decides first: what it found in step, provisioning
    // then finds in step too, and a server it started never runs beside a
    // copy or an install.
    std::optional<ServerLaunch> early;
    if (earlyServer_.valid())
        early = earlyServer_.get();
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
    // first frame: a server started here would take the processor that frame
    // needs (an early one has had its start while the toolkit started).
    platform::mainAsync([this, early] {
        whenFirstFrameShown([this, early] {
            serverStep(early);
            waitAndLoad(0);
            if (startUpdater)
                startUpdater();
        });
    });
}

void AppDelegate::startServerEarly()
{
    // Read here, on the main thread: the toolkit changes the environment
    // while it starts, beside the thread below.
    auto environment = childEnvironment(globals_.searchPath);
    earlyServer_ = std::async(std::launch::async,
        [this, environment = std::move(environment)]() mutable -> std::optional<ServerLaunch> {
            // The very tests with which syncCode and ensurePython decide that
            // they have nothing to do: provisioning will not change what this
            // server runs.
            if (!codeInStep(globals_, shippedCode) || !environmentInStep(globals_))
                return std::nullopt;
            // Where nothing accepts a connection, a probe of the state
            // endpoint can only find that nothing answers. Where something
            // does, only that probe tells whether it is a server to use, and
            // it is made at the first frame, before any launch, as when
            // provisioning had work to do.
            if (acceptsConnections(static_cast<int>(globals_.port), std::chrono::milliseconds(100)))
                return std::nullopt;
            return launchServer(globals_, std::move(environment));
        });
}

void AppDelegate::serverStep(const std::optional<ServerLaunch>& early)
{
    if (early) {
        adoptServerLaunch(*early);
        return;
    }
    if (!serverUp())
        startServer();
}

void AppDelegate::failStartup(const std::string& errorText)
{
    platform::mainAsync([this, text = platform::lastCharacters(errorText, startupErrorCharacters)] {
        platform::alert(cantStartTitle, text);
        terminateApp();
    });
}

} // namespace sv
