#pragma once
// The app's one toplevel window.

#include <functional>
#include <memory>
#include <string>

namespace sv::platform {

class WebView;

struct WindowSpec {
    std::string title;
    int width = 0;
    int height = 0;
    int minWidth = 0;
    int minHeight = 0;
    // Asked when the user closes the window; the window stays unless the
    // handler ends the app.
    std::function<void()> onCloseRequest;
};

struct WindowSize {
    int width = 0;
    int height = 0;
};

class Window {
public:
    // A window of the given default size that shows the web view as its
    // content. The keyboard focus never stays on the menu bar: once a menu
    // has closed, by a choice or not, it goes back to the content.
    static std::unique_ptr<Window> create(const WindowSpec& spec, WebView& content);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    void setSize(WindowSize size);
    void maximize();
    // Brings the window to the front and gives it the keyboard focus.
    void present();
    // Runs the callback once on the main loop, right after the window next
    // draws a frame, or after a quarter of a second if it draws none.
    void afterFirstFrame(std::function<void()> callback);

    // The size the window has now when neither maximized nor full screen,
    // else the size it returns to when unmaximized.
    [[nodiscard]] WindowSize size() const;
    [[nodiscard]] bool isMaximized() const;

    struct Impl;

private:
    explicit Window(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace sv::platform
