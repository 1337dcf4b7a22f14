// Entry point: fixes the process-wide values, creates the delegate and runs
// the application. No command-line argument or environment variable is read.

#include "app/app_delegate.h"
#include "base/globals.h"
#include "platform/application.h"
#include "platform/bundle.h"

int main()
{
    sv::installGlobals(sv::Globals(sv::userHomeDirectory()));
    static sv::AppDelegate delegate(sv::globals());
    return sv::platform::runApplication(sv::platform::builtInBundleIdentifier(),
        [] { delegate.applicationDidFinishLaunching(); });
}
