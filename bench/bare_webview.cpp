// The floor of this stack: a bare GTK 4 window with a WebKit view that loads
// the same one-line status page the app shows first. Nothing else.

#include <gtk/gtk.h>
#include <webkit/webkit.h>

int main()
{
    gtk_init();
    GtkWidget* window = gtk_window_new();
    gtk_window_set_title(GTK_WINDOW(window), "Sandvoll");
    gtk_window_set_default_size(GTK_WINDOW(window), 1440, 920);
    GtkWidget* view = webkit_web_view_new();
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
