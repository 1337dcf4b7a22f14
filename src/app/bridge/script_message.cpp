#include "app/bridge/script_message.h"

#include "app/app_delegate.h"
#include "platform/task.h"
#include "update/updater.h"

namespace sv {

bool isCheckUpdatesMessage(const platform::ScriptMessage& message)
{
    return message.name == messageHandlerName && message.body && *message.body == checkUpdatesMessage;
}

void didReceiveScriptMessage(const platform::ScriptMessage& message, Updater& updater)
{
    // Each message starts a check of its own; the updater decides what two
    // checks at once mean.
    if (isCheckUpdatesMessage(message))
        platform::startDetached(updater.check(true));
}

} // namespace sv
