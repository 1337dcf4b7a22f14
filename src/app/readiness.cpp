// Waiting for the server and the first load of its page.

#include "app/app_delegate.h"
#include "platform/dispatch.h"
#include "platform/http.h"
#include "platform/ui.h"
#include "server/port_owner.h"

#include <chrono>

namespace sv {

AppDelegate::ProbeAnswer AppDelegate::probe() const
{
    // Not even a question goes to another account's program: it would
    // learn that the app is there, and when; and its answer means nothing.
    // (Each probe connects afresh, so none can reach it over a connection
    // made to a server before.)
    if (portHeldByOtherUser(globals_.port))
        return ProbeAnswer::foreign;
    platform::HttpRequest request;
    request.url = globals_.appURL + "api/state";
    request.timeout = std::chrono::milliseconds(static_cast<long>(readiness.probeTimeout * 1000));
    // Only the status matters; the body, however large, is not read.
    request.statusOnly = true;
    const auto result = platform::httpGet(request);
    if (!result.response)
        return ProbeAnswer::none;
    return result.response->status == 200 ? ProbeAnswer::ready : ProbeAnswer::notReady;
}

bool AppDelegate::serverUp() const { return probe() == ProbeAnswer::ready; }

void AppDelegate::startServer()
{
    adoptServerLaunch(launchServer(globals_));
}

void AppDelegate::adoptServerLaunch(const ServerLaunch& launch)
{
    if (launch.process) {
        server = launch.process;
        probePause_.watchServerStart(launch.process->pid, globals_.support + "/server.log", globals_.port);
        // After the watch has its own hold on the keeper: a server that ends
        // by itself leaves no zombie, and is not started again.
        server->reapWhenEnded([self = std::weak_ptr(self_)] {
            if (const auto delegate = self.lock())
                (*delegate)->serverEnded();
        });
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
        const ProbeAnswer answer = probe();
        platform::mainAsync([this, tries, answer] {
            const bool up = answer == ProbeAnswer::ready;
            if (readiness.probed)
                readiness.probed(up);
            if (up) {
                loadServerPage();
                return;
            }
            // As when it answers: the user is told, and the chain ends.
            if (answer == ProbeAnswer::foreign) {
                platform::alert(portHeldTitle(globals_.port), portHeldText(globals_.port));
                return;
            }
            // A server that answers at all has opened its port: its start is
            // over, whether or not the watch saw the moment (a pause can run
            // out just as the port opens), and a "not ready" now gets the
            // full pause.
            if (answer == ProbeAnswer::notReady)
                probePause_.startIsOver();
            if (tries >= readiness.lastTry) {
                platform::alert(notRespondingTitle, notRespondingText);
                return;
            }
            probePause_.then(readiness.pauseSeconds, [this, tries] { waitAndLoad(tries + 1); });
        });
    });
}

} // namespace sv
