#include "platform/application.h"

#include "platform/gobject_ptr.h"
#include "platform/rendering.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
#include <memory>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace sv::platform {
namespace {

std::vector<std::function<void()>>& willTerminateHandlers()
{
    static std::vector<std::function<void()>> handlers;
    return handlers;
}

bool terminating = false;

gboolean onSignal(gpointer) { terminate(); }

} // namespace

int runApplication(const std::string& identifier, std::function<void()> didFinishLaunching)
{
    // Without GApplication's single-instance handling a second launch would
    // fight the first over the port and the support directory; with it, the
    // second launch hands over to the first and ends.
    auto app = GRef<GtkApplication>::adopt(
        gtk_application_new(g_application_id_is_valid(identifier.c_str()) ? identifier.c_str() : nullptr,
            G_APPLICATION_DEFAULT_FLAGS));
    auto launched = std::make_shared<bool>(false);
    auto callback = std::make_shared<std::function<void()>>(std::move(didFinishLaunching));
    struct Activation {
        std::shared_ptr<bool> launched;
        std::shared_ptr<std::function<void()>> callback;
    };
    g_signal_connect_data(app.get(), "activate", G_CALLBACK(+[](GtkApplication*, gpointer data) {
        auto* a = static_cast<Activation*>(data);
        if (*a->launched) {
            // A second launch: show the window we already have.
            GtkWindow* window = gtk_application_get_active_window(
                GTK_APPLICATION(g_application_get_default()));
            if (window)
                gtk_window_present(window);
            return;
        }
        *a->launched = true;
        chooseRendering();
        (*a->callback)();
    }),
        new Activation { launched, callback },
        [](gpointer data, GClosure*) { delete static_cast<Activation*>(data); }, GConnectFlags(0));

    g_unix_signal_add(SIGTERM, onSignal, nullptr);
    g_unix_signal_add(SIGINT, onSignal, nullptr);
    g_unix_signal_add(SIGHUP, onSignal, nullptr);

    // No command-line argument is interpreted, so none is handed to GTK.
    g_application_run(G_APPLICATION(app.get()), 0, nullptr);
    return 0;
}

bool initToolkit() { return gtk_init_check(); }

void onWillTerminate(std::function<void()> handler)
{
    willTerminateHandlers().push_back(std::move(handler));
}

void terminate()
{
    if (!terminating) {
        terminating = true;
        for (auto& handler : willTerminateHandlers())
            handler();
    }
    // Exit without unwinding the toolkit: a modal box may be running in a
    // nested loop, and WebKit's helper processes end when their connection
    // to us closes.
    std::fflush(nullptr);
    _exit(0);
}

} // namespace sv::platform
