#pragma once
// The web view surface that logic code drives, and the real WebKit view.

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace sv::platform {

// What the app does to the page. Logic tests record these calls.
class WebSurface {
public:
    virtual ~WebSurface() = default;
    // Loads an HTML document without a base URL.
    virtual void loadHTML(const std::string& html) = 0;
    virtual void loadURL(const std::string& url) = 0;
    virtual void reload() = 0;
    // Asks the page whether it may go, as a browser asks a tab it closes:
    // the page's `beforeunload` handlers run, and where one of them objects
    // a box ("Leave this page?") lets the person leave or stay. `answer` gets
    // true to leave, once, on the main thread: before this returns when the
    // page has no such handler, else when the page or the person has
    // answered. A question asked while one is open shares its answer.
    virtual void askToLeave(std::function<void(bool leave)> answer) = 0;
    // Closes every connection the engine holds open, to any server, and
    // forgets what pages left behind to answer in a server's place later:
    // service workers, the HTTP cache and the caches of the Cache API. A
    // request in flight fails. A load or reload asked for before this is
    // done waits for it, so that it goes over new connections only; a load
    // of HTML, which needs no server, goes at once and replaces a waiting one.
    virtual void startAfresh() = 0;
};

enum class NavigationType { linkActivated, formSubmitted, backForward, reload, formResubmitted, other };

// One press the user gave the view: a mouse button, a key or a touch. A key
// held down is one press however often it repeats, until it is let go or
// the focus leaves the view.
// Everything the page does while that press is the latest shares this
// record, so that the app can let one press reach outside the window once.
struct UserInput {
    bool linkOpened = false;    // a URL has gone to the desktop for it
    bool refusalTold = false;   // a refused URL has been reported for it
};

struct NavigationAction {
    NavigationType type = NavigationType::other;
    std::optional<std::string> url;    // absent when the request has no URL
    std::optional<std::string> scheme; // lower-case; absent when the URL has none
    std::optional<std::string> host;   // absent when the URL has no host
    // True when the engine counts it as the user's doing; false for what
    // page scripts do by themselves, such as a script-made click. The engine
    // says true for everything a page does while it handles one press (two
    // clicks and a window, say), so this alone cannot tell presses apart.
    bool userGesture = false;
    // The latest press the view received before the action was reported;
    // null before the first.
    std::shared_ptr<UserInput> input;
};

struct ScriptMessage {
    std::string name;                // the handler the page posted to
    std::optional<std::string> body; // set only when the page posted a string
};

struct WebViewConfig {
    bool mediaNeedsUserAction = true;
    // Cookies outlast the app, in cookies.sqlite (cookie_file.h) in the
    // engine's data folder for this program; otherwise they end with it.
    bool keepCookies = false;
    // The app's own origin ("http://127.0.0.1:8766"): only the top frame of
    // its documents gets the user script and the message handler.
    std::string appOrigin;
    // Injected at document start into top-frame documents of appOrigin only;
    // empty for none. Other pages, the app's own HTML status page among
    // them, never see it.
    std::string userScript;
    // Offered as window.webkit.messageHandlers[name] to the top frame of
    // documents on appOrigin only; no other document or frame can post to
    // it. Empty for none.
    std::string messageHandler;
    std::function<void(const ScriptMessage&)> onMessage;
    // Asked before every navigation; true lets it happen.
    std::function<bool(const NavigationAction&)> decideNavigation;
    // Asked when the page wants a new window; no window is ever created.
    std::function<void(const NavigationAction&)> onNewWindow;
    // Told each time a main-frame load has finished, with the loaded address.
    std::function<void(const std::string&)> onLoadFinished;
    // Told when a main-frame load commits, with its address: the response
    // has come and the new document is about to be made, and nothing the
    // document's scripts post to the handler arrives before this.
    std::function<void(const std::string&)> onLoadCommitted;
    // Told when the web process that draws the page has ended while the view
    // lives (a crash, the kernel's out-of-memory killer): the view keeps its
    // last frame and does nothing until something is loaded into it again.
    std::function<void()> onWebProcessEnded;
};

// The real view. A download it starts always asks the user where to save
// it (the UI surface's save dialog) and writes nothing before the answer.
class WebView final : public WebSurface {
public:
    static std::unique_ptr<WebView> create(WebViewConfig config);
    ~WebView() override;
    WebView(const WebView&) = delete;
    WebView& operator=(const WebView&) = delete;

    void loadHTML(const std::string& html) override;
    void loadURL(const std::string& url) override;
    void reload() override;
    void askToLeave(std::function<void(bool leave)> answer) override;
    void startAfresh() override;

    // The clipboard and selection commands, acting on whatever has the
    // focus inside the page, as the page's own shortcuts would.
    void cut();
    void copy();
    void paste();
    void selectAll();

    // Evaluates a script in the page and hands its result, converted to JSON
    // text, to done on the main thread (nullopt when the script threw).
    void evaluateJavaScript(const std::string& script,
        std::function<void(std::optional<std::string>)> done);

    // The address of the document shown, empty before the first load.
    [[nodiscard]] std::string currentURL() const;

    // The toolkit widget, for the window that shows it.
    [[nodiscard]] void* widget() const;

    struct Impl;

private:
    explicit WebView(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Parses a URL the way the navigation policy sees it (host as written, no
// lower-casing); nullopt when the text is not an absolute URL.
struct ParsedURL {
    std::string scheme;
    std::optional<std::string> host;
    // The scheme's default when the URL names none (80 for http); -1 when
    // neither is known.
    int port = -1;
};
std::optional<ParsedURL> parseURL(const std::string& text);

// The scheme a URL starts with, lower-cased; nullopt when it starts with none.
std::optional<std::string> urlScheme(const std::string& text);

} // namespace sv::platform
