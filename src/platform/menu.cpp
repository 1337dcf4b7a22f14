#include "platform/menu.h"

#include "platform/gobject_ptr.h"

#include <gtk/gtk.h>

namespace sv::platform {
namespace {

GtkApplication* runningApplication()
{
    GApplication* app = g_application_get_default();
    return app && GTK_IS_APPLICATION(app) ? GTK_APPLICATION(app) : nullptr;
}

// What the desktop calls the app: its application name when one was set,
// else the last part of its identifier ("org.sandvoll.Sandvoll" gives
// "Sandvoll").
std::string applicationName(GtkApplication* app)
{
    if (const char* name = g_get_application_name(); name && *name)
        return name;
    const char* id = g_application_get_application_id(G_APPLICATION(app));
    if (!id)
        return {};
    const std::string identifier = id;
    return identifier.substr(identifier.rfind('.') + 1);
}

// The menu model's attribute for a shortcut that the menu shows without
// the application owning it.
constexpr const char* shownAccelerator = "accel";

// The application's own shortcuts are taken in the capture phase, before the
// focused widget sees the key. A page-first shortcut instead waits in the
// bubble phase of the window that shows the bar: the web view forwards only
// the keys that neither the page's handlers nor its own editing took, and
// keys pressed while the focus is elsewhere in the window come here too.
void addPageFirstShortcuts(GtkWindow* window, GListModel* shortcuts)
{
    if (!GTK_IS_APPLICATION_WINDOW(window))
        return; // dialogs and message boxes have no page to act on
    GtkEventController* controller = gtk_shortcut_controller_new_for_model(shortcuts);
    gtk_event_controller_set_static_name(controller, "sandvoll-page-first-shortcuts");
    gtk_event_controller_set_propagation_phase(controller, GTK_PHASE_BUBBLE);
    gtk_widget_add_controller(GTK_WIDGET(window), controller);
}

void onWindowAdded(GtkApplication*, GtkWindow* window, gpointer shortcuts)
{
    addPageFirstShortcuts(window, G_LIST_MODEL(static_cast<GRef<GListStore>*>(shortcuts)->get()));
}

struct ItemAction {
    std::function<void()> run;
};

void onActivate(GSimpleAction*, GVariant*, gpointer data)
{
    const auto* action = static_cast<ItemAction*>(data);
    if (action->run)
        action->run();
}

std::string stringAttribute(GMenuModel* model, int index, const char* attribute)
{
    char* value = nullptr;
    if (!g_menu_model_get_item_attribute(model, index, attribute, "s", &value))
        return {};
    GCharPtr owned(value);
    return owned.get();
}

GRef<GMenuModel> link(GMenuModel* model, int index, const char* name)
{
    return GRef<GMenuModel>::adopt(g_menu_model_get_item_link(model, index, name));
}

// Calls visit(menu title, item title, detailed action name, shown
// shortcut, section index) for every item of the installed bar, in order,
// until it returns false. The shown shortcut is the one the item carries
// itself, which only the page-first items do.
template <typename Visit>
void walkMenuBar(GtkApplication* app, Visit visit)
{
    GMenuModel* bar = gtk_application_get_menubar(app);
    if (!bar)
        return;
    for (int m = 0; m < g_menu_model_get_n_items(bar); ++m) {
        const std::string menuTitle = stringAttribute(bar, m, G_MENU_ATTRIBUTE_LABEL);
        const auto submenu = link(bar, m, G_MENU_LINK_SUBMENU);
        if (!submenu)
            continue;
        for (int s = 0; s < g_menu_model_get_n_items(submenu.get()); ++s) {
            const auto section = link(submenu.get(), s, G_MENU_LINK_SECTION);
            if (!section)
                continue;
            for (int i = 0; i < g_menu_model_get_n_items(section.get()); ++i) {
                if (!visit(menuTitle, stringAttribute(section.get(), i, G_MENU_ATTRIBUTE_LABEL),
                        stringAttribute(section.get(), i, G_MENU_ATTRIBUTE_ACTION),
                        stringAttribute(section.get(), i, shownAccelerator), s))
                    return;
            }
        }
    }
}

} // namespace

bool installMenuBar(const std::vector<Menu>& menus)
{
    GtkApplication* app = runningApplication();
    if (!app)
        return false;
    auto bar = GRef<GMenu>::adopt(g_menu_new());
    auto pageFirst = GRef<GListStore>::adopt(g_list_store_new(GTK_TYPE_SHORTCUT));
    int count = 0;
    for (const Menu& menu : menus) {
        auto submenu = GRef<GMenu>::adopt(g_menu_new());
        for (const auto& items : menu.sections) {
            // Sections are how a menu model draws separators.
            auto section = GRef<GMenu>::adopt(g_menu_new());
            for (const MenuItem& item : items) {
                const std::string name = "menu-item-" + std::to_string(count++);
                auto action = GRef<GSimpleAction>::adopt(g_simple_action_new(name.c_str(), nullptr));
                g_signal_connect_data(action.get(), "activate", G_CALLBACK(onActivate), new ItemAction { item.action },
                    [](gpointer data, GClosure*) { delete static_cast<ItemAction*>(data); }, GConnectFlags(0));
                g_action_map_add_action(G_ACTION_MAP(app), G_ACTION(action.get()));

                const std::string detailed = "app." + name;
                auto entry = GRef<GMenuItem>::adopt(g_menu_item_new(item.title.c_str(), detailed.c_str()));
                if (item.key) {
                    const std::string accelerator = std::string("<Control>") + item.key;
                    if (item.pageFirst) {
                        g_menu_item_set_attribute(entry.get(), shownAccelerator, "s", accelerator.c_str());
                        auto shortcut = GRef<GtkShortcut>::adopt(gtk_shortcut_new(
                            gtk_shortcut_trigger_parse_string(accelerator.c_str()), gtk_named_action_new(detailed.c_str())));
                        g_list_store_append(pageFirst.get(), shortcut.get());
                    } else {
                        const char* accelerators[] = { accelerator.c_str(), nullptr };
                        gtk_application_set_accels_for_action(app, detailed.c_str(), accelerators);
                    }
                }
                g_menu_append_item(section.get(), entry.get());
            }
            g_menu_append_section(submenu.get(), nullptr, G_MENU_MODEL(section.get()));
        }
        const std::string title = menu.title.empty() ? applicationName(app) : menu.title;
        g_menu_append_submenu(bar.get(), title.c_str(), G_MENU_MODEL(submenu.get()));
    }
    gtk_application_set_menubar(app, G_MENU_MODEL(bar.get()));

    // The windows hold the list through their controllers, and the signal
    // handler holds it for windows still to come.
    for (GList* window = gtk_application_get_windows(app); window; window = window->next)
        addPageFirstShortcuts(GTK_WINDOW(window->data), G_LIST_MODEL(pageFirst.get()));
    g_signal_connect_data(app, "window-added", G_CALLBACK(onWindowAdded), new GRef<GListStore>(pageFirst),
        [](gpointer data, GClosure*) { delete static_cast<GRef<GListStore>*>(data); }, GConnectFlags(0));
    return true;
}

std::vector<std::string> describeMenuBar()
{
    std::vector<std::string> lines;
    GtkApplication* app = runningApplication();
    if (!app)
        return lines;
    std::string lastMenu;
    int lastSection = 0;
    walkMenuBar(app, [&](const std::string& menu, const std::string& item, const std::string& action,
                         const std::string& shown, int section) {
        if (menu == lastMenu && section != lastSection)
            lines.push_back(menu + " > ---");
        lastMenu = menu;
        lastSection = section;
        std::string line = menu + " > " + item;
        if (char** accelerators = gtk_application_get_accels_for_action(app, action.c_str())) {
            for (char** a = accelerators; *a; ++a)
                line += std::string(" [") + *a + "]";
            g_strfreev(accelerators);
        }
        if (!shown.empty())
            line += " [" + shown + "] (page first)";
        lines.push_back(line);
        return true;
    });
    return lines;
}

bool activateMenuItem(const std::string& menuTitle, const std::string& itemTitle)
{
    GtkApplication* app = runningApplication();
    if (!app)
        return false;
    std::string action;
    walkMenuBar(app, [&](const std::string& menu, const std::string& item, const std::string& detailed,
                         const std::string&, int) {
        if (menu == menuTitle && item == itemTitle)
            action = detailed;
        return action.empty();
    });
    constexpr std::string_view prefix = "app.";
    if (!action.starts_with(prefix))
        return false;
    g_action_group_activate_action(G_ACTION_GROUP(app), action.c_str() + prefix.size(), nullptr);
    return true;
}

void showAboutDialog(const std::string& programName, const std::string& version)
{
    GtkWindow* parent = nullptr;
    if (GtkApplication* app = runningApplication())
        parent = gtk_application_get_active_window(app);
    gtk_show_about_dialog(parent, "program-name", programName.c_str(), "version", version.c_str(), nullptr);
}

} // namespace sv::platform
