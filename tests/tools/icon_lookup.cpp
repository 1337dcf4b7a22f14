// Prints the file the icon theme gives for an icon name at a size, looked up
// the way a launcher looks up the icon its desktop entry names, in the
// themes of the user's HOME and the system. Exits with 1 when no theme has
// the icon.
//
// usage: icon_lookup NAME SIZE

#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: icon_lookup NAME SIZE\n");
        return 2;
    }
    if (!gtk_init_check()) {
        std::fprintf(stderr, "icon_lookup: no display\n");
        return 2;
    }
    // The process ends right after, so what GTK hands out is not given back.
    GtkIconTheme* theme = gtk_icon_theme_get_for_display(gdk_display_get_default());
    if (!gtk_icon_theme_has_icon(theme, argv[1]))
        return 1;
    GtkIconPaintable* icon = gtk_icon_theme_lookup_icon(theme, argv[1], nullptr, std::atoi(argv[2]), 1,
        GTK_TEXT_DIR_NONE, GtkIconLookupFlags(0));
    GFile* file = gtk_icon_paintable_get_file(icon);
    const char* path = file ? g_file_peek_path(file) : nullptr;
    if (!path)
        return 1;
    std::printf("%s\n", path);
    return 0;
}
