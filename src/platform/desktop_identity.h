#pragma once
// The names by which the desktop ties the app's windows to its launcher
// entry and icon.

#include <filesystem>
#include <optional>
#include <string>

namespace sv::platform {

// Call once the toolkit has started (a GDK call before that ends the process
// from GTK 4.18 on), before the first window is made. On X11 the window class becomes the
// identifier (on Wayland the application ID already is), and every
// window's icon is the icon theme's `identifier`, looked up in the user's
// themes and also in `iconThemes` (the bundle's own icons), so the window
// has its icon even where no launcher entry was installed.
void adoptDesktopIdentity(const std::string& identifier, const std::optional<std::filesystem::path>& iconThemes);

} // namespace sv::platform
