#pragma once
// The user-facing surface that logic code talks to: message boxes, choice
// dialogs and handing URLs to the desktop. The app installs the real GTK
// surface; logic tests install a recording one.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sv::platform {

// A small window that shows how a long piece of work goes, with a Cancel
// button. It is not modal: the app's own window stays usable meanwhile. It
// closes when the object is destroyed.
class ProgressWindow {
public:
    virtual ~ProgressWindow() = default;
    // The line above the bar, how far the bar is filled, from 0 to 1 (none:
    // busy for a while nobody can measure), and the line below it.
    virtual void update(const std::string& text, std::optional<double> fraction, const std::string& detail) = 0;
};

class UiSurface {
public:
    virtual ~UiSurface() = default;
    // A modal message box with one default button; returns once dismissed.
    virtual void alert(const std::string& title, const std::string& text) = 0;
    // A modal box with the given buttons (the first is the default); returns
    // the index of the chosen button, or -1 when the box was closed otherwise.
    virtual int choose(const std::string& title, const std::string& text,
        const std::vector<std::string>& buttons)
        = 0;
    // The same box as choose, without waiting for it: returns at once, and
    // `done` gets the chosen index (or -1) later, on the main thread. For a
    // question that something else waits on, such as a page, while the app
    // goes on (and can still end).
    virtual void chooseLater(const std::string& title, const std::string& text,
        const std::vector<std::string>& buttons, std::function<void(int chosen)> done)
        = 0;
    // Hands a URL to the user's default handler; the outcome is not reported.
    virtual void openURL(const std::string& url) = 0;
    // Shows a progress window titled `title`. onCancel runs once, on the main
    // thread, when the user presses the cancel button, presses Escape or
    // closes the window, which then hides at once. The base surface shows
    // nothing.
    virtual std::unique_ptr<ProgressWindow> showProgress(
        const std::string& title, const std::string& cancelButton, std::function<void()> onCancel);
    // Asks where to save a download: a save dialog on the user's Downloads
    // folder with the suggested file name. Returns at once; `done` gets the
    // chosen path, or nothing when the user cancelled, on the main thread.
    virtual void chooseSaveLocation(const std::string& suggestedName,
        std::function<void(std::optional<std::string>)> done)
        = 0;
};

// The surface in use. Until one is installed, calls go to the GTK surface.
UiSurface& ui();

// Installs a surface (tests) and returns the previous one; nullptr restores the default.
UiSurface* setUi(UiSurface* surface);

// The real surface: GTK message dialogs and the desktop's default handlers.
std::unique_ptr<UiSurface> makeGtkUi();

inline void alert(const std::string& title, const std::string& text) { ui().alert(title, text); }

} // namespace sv::platform
