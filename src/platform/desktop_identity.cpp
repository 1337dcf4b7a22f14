#include "platform/desktop_identity.h"

#include <gdk/x11/gdkx.h>
#include <gtk/gtk.h>

namespace sv::platform {
namespace {

struct Identity {
    std::string identifier;
    std::optional<std::filesystem::path> iconThemes;
};

void onDisplayOpened(GdkDisplayManager*, GdkDisplay* display, gpointer data)
{
    const auto* identity = static_cast<const Identity*>(data);
    if (GDK_IS_X11_DISPLAY(display))
        gdk_x11_display_set_program_class(display, identity->identifier.c_str());
    if (identity->iconThemes)
        gtk_icon_theme_add_search_path(gtk_icon_theme_get_for_display(display), identity->iconThemes->c_str());
}

} // namespace

void adoptDesktopIdentity(const std::string& identifier, const std::optional<std::filesystem::path>& iconThemes)
{
    // Only the class: the program name, the instance part of WM_CLASS, stays
    // as it was, because the web engine keeps the page's stored data in a
    // folder named after it, and that must not move.
    gtk_window_set_default_icon_name(identifier.c_str());
    // Lives as long as the process: displays may open at any time.
    static Identity identity;
    identity = { identifier, iconThemes };
    GdkDisplayManager* displays = gdk_display_manager_get();
    g_signal_connect(displays, "display-opened", G_CALLBACK(onDisplayOpened), &identity);
    // The toolkit opened the default display when it started.
    GSList* open = gdk_display_manager_list_displays(displays);
    for (GSList* display = open; display; display = display->next)
        onDisplayOpened(displays, GDK_DISPLAY(display->data), &identity);
    g_slist_free(open);
}

} // namespace sv::platform
