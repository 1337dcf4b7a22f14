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

// Calls visit(menu title, item title, detailed action name, section index)
// for every item of the installed bar, in order, until it returns false.
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
                        stringAttribute(section.get(), i, G_MENU_ATTRIBUTE_ACTION), s))
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
                g_menu_append(section.get(), item.title.c_str(), detailed.c_str());
                if (item.key) {
                    const std::string accelerator = std::string("<Control>") + item.key;
                    const char* accelerators[] = { accelerator.c_str(), nullptr };
                    gtk_application_set_accels_for_action(app, detailed.c_str(), accelerators);
                }
            }
            g_menu_append_section(submenu.get(), nullptr, G_MENU_MODEL(section.get()));
        }
        const std::string title = menu.title.empty() ? applicationName(app) : menu.title;
        g_menu_append_submenu(bar.get(), title.c_str(), G_MENU_MODEL(submenu.get()));
    }
    gtk_application_set_menubar(app, G_MENU_MODEL(bar.get()));
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
    walkMenuBar(app, [&](const std::string& menu, const std::string& item, const std::string& action, int section) {
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
    walkMenuBar(app, [&](const std::string& menu, const std::string& item, const std::string& detailed, int) {
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
