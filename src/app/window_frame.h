#pragma once
// The window's size and maximized state, remembered in the user defaults
// under the window's autosave name.

#include <filesystem>
#include <optional>
#include <string>

namespace sv {

struct WindowFrame {
    int width = 0;
    int height = 0;
    bool maximized = false;
    bool operator==(const WindowFrame&) const = default;
};

// The frame saved under the name, kept within the minimum size; nullopt when
// none was saved or the entry is damaged.
[[nodiscard]] std::optional<WindowFrame> loadWindowFrame(const std::filesystem::path& defaults,
    const std::string& autosaveName, int minWidth, int minHeight);

// Saves the frame, keeping every other default in the file.
bool saveWindowFrame(const std::filesystem::path& defaults, const std::string& autosaveName, const WindowFrame& frame);

} // namespace sv
