// Entry point: fixes the process-wide values, creates the delegate and runs
// the application. No command-line argument is read, and no environment
// variable but the two the swap script passes to the version it starts.

#include "app/app_delegate.h"
#include "base/globals.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "update/relaunch.h"

int main()
{
    sv::takeRelaunchNotice();
    sv::installGlobals(sv::Globals(sv::userHomeDirectory()));
    static sv::AppDelegate delegate(sv::globals());
    return sv::platform::runApplication(sv::platform::builtInBundleIdentifier(),
        [] { delegate.applicationDidFinishLaunching(); });
}
