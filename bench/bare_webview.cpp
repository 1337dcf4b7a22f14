// The floor of this stack: a bare GTK 4 window with a WebKit view that loads
// the same one-line status page the app shows first. Nothing else, except
// that it draws the way the app does on this machine (with the CPU when the
// only OpenGL is a software one), so the comparison is about the app's own
// work.

#include "platform/rendering.h"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

int main()
{
    gtk_init();
    sv::platform::chooseRendering();
    GtkWidget* window = gtk_window_new();
    gtk_window_set_title(GTK_WINDOW(window), "Sandvoll");
    gtk_window_set_default_size(GTK_WINDOW(window), 1440, 920);
    GtkWidget* view = webkit_web_view_new();
    if (sv::platform::softwareRendering()) {
        webkit_settings_set_hardware_acceleration_policy(
            webkit_web_view_get_settings(WEBKIT_WEB_VIEW(view)), WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    }
    gtk_window_set_child(GTK_WINDOW(window), view);
    webkit_web_view_load_html(WEBKIT_WEB_VIEW(view),
        "<body style='font:15px -apple-system;color:#888;display:grid;place-items:center;height:90vh'>"
        "Sandvoll is starting\u2026</body>",
        nullptr);
    gtk_window_present(GTK_WINDOW(window));
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_signal_connect_swapped(window, "close-request", G_CALLBACK(g_main_loop_quit), loop);
    g_main_loop_run(loop);
    return 0;
}
