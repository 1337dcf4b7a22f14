#pragma once
// The application's menu bar, built from a plain description, and the
// toolkit's standard About dialog.

#include <functional>
#include <string>
#include <vector>

namespace sv::platform {

struct MenuItem {
    std::string title;
    // A lower-case letter used with Ctrl as the item's shortcut; 0 for none.
    char key = 0;
    // Runs on the main thread when the item is chosen or its shortcut pressed.
    std::function<void()> action;
    // Whether the shortcut goes to the focused page first, as the editing
    // keys do: the page's own key handlers see it, the web view's editing
    // acts on it, and the action runs only when neither took the key (or
    // when the focus is not in a page). Otherwise the shortcut is the app's,
    // whatever the page does with keys.
    bool pageFirst = false;
};

struct Menu {
    // Empty for the application menu, which then shows the app's name.
    std::string title;
    // Groups of items, drawn with a separator between groups.
    std::vector<std::vector<MenuItem>> sections;
};

// Builds the menu bar and installs it on the running application, whose
// windows show it. Call once, on the main thread, from the launch callback.
// Returns false when no application is running to take it.
bool installMenuBar(const std::vector<Menu>& menus);

// What the installed menu bar shows, read back from the toolkit's model:
// one line per entry, "Menu > Item [<Control>x]", with " (page first)"
// after a shortcut that the page gets first. For checking the bar.
[[nodiscard]] std::vector<std::string> describeMenuBar();

// Runs the action of the item with this menu and item title, as choosing it
// would. Returns false when there is no such item.
bool activateMenuItem(const std::string& menuTitle, const std::string& itemTitle);

// The toolkit's standard About dialog with the program's name and version.
void showAboutDialog(const std::string& programName, const std::string& version);

} // namespace sv::platform
