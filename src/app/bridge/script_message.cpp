#include "app/bridge/script_message.h"

#include "app/app_delegate.h"
#include "platform/task.h"
#include "update/updater.h"

namespace sv {

std::string appOrigin(const Globals& globals)
{
    std::string origin = globals.appURL;
    if (origin.ends_with('/'))
        origin.pop_back();
    return origin;
}

bool isCheckUpdatesMessage(const platform::ScriptMessage& message)
{
    return message.name == messageHandlerName && message.body && *message.body == checkUpdatesMessage;
}

namespace {

// True from the message that starts a page's check until that check has
// ended, its message box or offer included. Set by the handler itself: the
// check only starts on a later turn of the main loop.
bool pageCheckRunning = false;

// Clears the flag on every way out of the check.
class PageCheckEnd {
public:
    PageCheckEnd() = default;
    ~PageCheckEnd() { pageCheckRunning = false; }
    PageCheckEnd(const PageCheckEnd&) = delete;
    PageCheckEnd& operator=(const PageCheckEnd&) = delete;
};

platform::Task<void> checkForPage(Updater& updater)
{
    const PageCheckEnd end;
    co_await updater.check(true);
}

} // namespace

void didReceiveScriptMessage(const platform::ScriptMessage& message, Updater& updater)
{
    // A page may post as often as it likes; it gets one check at a time,
    // never a stack of message boxes.
    if (!isCheckUpdatesMessage(message) || pageCheckRunning)
        return;
    pageCheckRunning = true;
    platform::startDetached(checkForPage(updater));
}

} // namespace sv
