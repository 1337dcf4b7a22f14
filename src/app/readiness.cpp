// Waiting for the server and the first load of its page.

#include "app/app_delegate.h"
#include "platform/dispatch.h"
#include "platform/http.h"
#include "platform/ui.h"

#include <chrono>

namespace sv {

bool AppDelegate::serverUp() const
{
    platform::HttpRequest request;
    request.url = globals_.appURL + "api/state";
    request.timeout = std::chrono::milliseconds(static_cast<long>(readiness.probeTimeout * 1000));
    // Only the status matters; the body, however large, is not read.
    request.statusOnly = true;
    const auto result = platform::httpGet(request);
    return result.response && result.response->status == 200;
}

void AppDelegate::startServer()
{
    auto launch = launchServer(globals_);
    if (launch.process) {
        server = launch.process;
        probePause_.watchServerStart(launch.process->pid, globals_.support + "/server.log", globals_.port);
        return;
    }
    platform::alert(serverCouldNotStartTitle, serverLaunchFailureText(launch.error, globals_.python));
}

void AppDelegate::waitAndLoad(int tries)
{
    // The probe blocks, so it runs on a worker, one that no long work can
    // hold up; every decision is made on the main thread, where the web view
    // and the message boxes live.
    platform::probeAsync([this, tries] {
        const bool up = serverUp();
        platform::mainAsync([this, tries, up] {
            if (readiness.probed)
                readiness.probed(up);
            if (up) {
                loadServerPage();
                return;
            }
            if (tries >= readiness.lastTry) {
                platform::alert(notRespondingTitle, notRespondingText);
                return;
            }
            probePause_.then(readiness.pauseSeconds, [this, tries] { waitAndLoad(tries + 1); });
        });
    });
}

} // namespace sv
