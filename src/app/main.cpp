// Entry point: fixes the process-wide values, creates the delegate and runs
// the application. One option is read: `--uninstall-desktop-entry` removes
// the launcher entry and ends. Of the environment, the app itself reads HOME
// (the home directory, before the account's own entry), TMPDIR (where an
// update is unpacked), XDG_DATA_HOME (where the launcher entry and icons go),
// XDG_RUNTIME_DIR (where the locks that keep launches apart from an update
// are, launch_gate.h, when the folder is the user's alone), no_proxy and
// NO_PROXY (the loopback server never goes through a proxy; libcurl reads
// the proxy variables themselves), and the
// three variables the swap script passes to the versions it starts, which it
// then removes; and GSK_RENDERER, GDK_DEBUG and GDK_DISABLE, the user's own
// choices for the toolkit's drawing, which it keeps (rendering.h). The toolkit reads its own (DISPLAY, WAYLAND_DISPLAY and the
// like); the server gets the rest unchanged, with only PATH replaced and
// without a launcher's token for the app's window.

#include "app/app_delegate.h"
#include "app/desktop_entry.h"
#include "base/globals.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/desktop_identity.h"
#include "platform/dispatch.h"
#include "platform/rendering.h"
#include "platform/temporary_directory.h"
#include "update/launch_gate.h"
#include "update/package_check.h"
#include "update/relaunch.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

int main(int argc, char** argv)
{
    // Where this launch came from, taken at once: an update's swap may set
    // the bundle aside under another name while it waits at the door.
    const auto ownBundle = sv::platform::Bundle::main().root().value_or(std::filesystem::path());
    sv::takeRelaunchNotice();
    sv::platform::prepareRendering();
    sv::installGlobals(sv::Globals(sv::userHomeDirectory()));
    const std::string identifier = sv::platform::builtInBundleIdentifier();
    // Read here, before any other thread runs: getenv is not safe beside one that changes the environment.
    static const auto dataHome = sv::userDataHome(sv::globals().home, std::getenv("XDG_DATA_HOME"));
    if (argc > 1 && argv[1] == sv::uninstallDesktopEntryOption)
        return sv::uninstallDesktopEntry(dataHome, identifier, std::cout);

    // Before anything is read from the bundle: while an update swaps it,
    // this launch waits, and then runs the version that is in place.
    const auto admission = sv::enterAsInstance(
        sv::instanceLocks(sv::platform::userRuntimeDirectory(), identifier), sv::startedBySwap(), ownBundle);
    for (const auto& refused : admission.refused)
        std::cerr << "Sandvoll: " << refused << '\n';
    if (admission.startBundle) {
        sv::startInstead(*admission.startBundle, argv);
        std::cerr << "Sandvoll: cannot start " << (*admission.startBundle / sv::bundleExecutable).string() << ": "
                  << std::strerror(errno) << '\n';
        return 1;
    }

    static sv::AppDelegate delegate(sv::globals());
    // Off the main thread: the window comes first.
    sv::platform::globalAsync([] { sv::keepOwnDesktopEntry(sv::globals().home, dataHome); });
    // The server's own start, mostly its interpreter's, then runs beside the
    // toolkit's instead of beside WebKit's web process after the first frame.
    // Only the first instance: a second launch hands over to it once the
    // toolkit has found it, and must not start a server meanwhile.
    if (admission.first)
        delegate.startServerEarly();
    return sv::platform::runApplication(identifier, [identifier] {
        // Only now: nothing may touch the toolkit's displays before it has started.
        const auto resources = sv::platform::Bundle::main().resourcePath();
        sv::platform::adoptDesktopIdentity(identifier, resources ? std::optional(*resources / "icons") : std::nullopt);
        delegate.applicationDidFinishLaunching();
    });
}
