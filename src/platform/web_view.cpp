#include "platform/web_view.h"

#include "platform/cookie_file.h"
#include "platform/gobject_ptr.h"
#include "platform/rendering.h"
#include "platform/ui.h"

#include <webkit/webkit.h>

#include <cstdio>
#include <set>
#include <utility>
#include <vector>

namespace sv::platform {
namespace {

// One question askToLeave put to the page, and who waits for its answer.
struct LeaveQuestion {
    std::vector<std::function<void(bool)>> waiting;
    bool answered = false;
    // The engine said "close" while the question was open. It also says so
    // when the page's process has not answered within a moment, so on its
    // own this is not the page's answer.
    bool closed = false;
    // Where the page objected: what the person chose.
    std::optional<bool> personLeaves;

    void answer(bool leave)
    {
        if (std::exchange(answered, true))
            return;
        for (auto& told : std::exchange(waiting, {}))
            told(leave);
    }
};

// Loads asked for while the engine starts afresh, and how many times it is
// still doing so.
struct Afresh {
    int pending = 0;
    // The latest load asked for meanwhile; each replaces the one before.
    std::function<void()> load;
};

} // namespace

struct WebView::Impl {
    WebViewConfig config;
    GRef<WebKitUserContentManager> content;
    GRef<GtkWidget> view;
    GRef<WebKitNetworkSession> session;
    GRef<GtkEventController> inputWatch;
    GRef<GtkEventController> focusWatch;
    std::shared_ptr<UserInput> lastInput;
    // The keys held down in the view, by hardware code: a press of one of
    // them is the key repeating, not a new press.
    std::set<guint> heldKeys;
    // The latest question to the page; answered once it is no longer open.
    std::shared_ptr<LeaveQuestion> leaving;
    std::shared_ptr<Afresh> afresh = std::make_shared<Afresh>();
};

namespace {

// The message handler lives in a script world of its own, so that no page
// script can reach it: not a cross-origin frame, not a page on another
// origin. A script in that world, in the top frame of documents on the
// app's origin only, takes the page's posts from a small stand-in for the
// handler that the top frame's own world gets, and passes them on. The web
// engine tells the app neither the frame nor the origin of a message; the
// world is what makes them certain.
constexpr const char* bridgeWorld = "sandvoll-bridge";
constexpr const char* bridgeEvent = "sandvoll-bridge-message";

// A JavaScript string literal.
std::string quoted(const std::string& text)
{
    std::string result = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            result += '\\';
            result += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            result += escape;
        } else {
            result += c;
        }
    }
    return result + "\"";
}

// In the page's world: window.webkit.messageHandlers[name].postMessage(body)
// hands the body to the bridge world as an event on the document.
std::string pageSideOfBridge(const std::string& origin, const std::string& name)
{
    return "if (location.origin === " + quoted(origin) + ") { const target = document, "
        "send = EventTarget.prototype.dispatchEvent, Message = CustomEvent; "
        "Object.defineProperty(window, 'webkit', { configurable: true, value: Object.freeze({ messageHandlers: "
        "Object.freeze({ [" + quoted(name) + "]: Object.freeze({ postMessage(body) { "
        "send.call(target, new Message(" + quoted(bridgeEvent) + ", { detail: body })); } }) }) }) }); }";
}

// In the bridge world: passes each such event on to the real handler.
std::string bridgeSideOfBridge(const std::string& origin, const std::string& name)
{
    return "if (location.origin === " + quoted(origin) + ") { const handler = window.webkit.messageHandlers["
        + quoted(name) + "]; document.addEventListener(" + quoted(bridgeEvent)
        + ", (event) => handler.postMessage(event.detail)); }";
}

void addTopFrameScript(WebKitUserContentManager* content, const std::string& source, const char* world)
{
    WebKitUserScript* script = world
        ? webkit_user_script_new_for_world(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
              WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, world, nullptr, nullptr)
        : webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
              WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(content, script);
    webkit_user_script_unref(script);
}

// A file name for the save dialog: the last part of what the server
// suggested, never a path.
std::string saveName(const char* suggested)
{
    std::string name = suggested ? suggested : "";
    if (const auto slash = name.find_last_of('/'); slash != std::string::npos)
        name.erase(0, slash + 1);
    if (name.empty() || name == "." || name == "..")
        name = "download";
    return name;
}

gboolean onDecideDestination(WebKitDownload* download, char* suggested, gpointer)
{
    // Answered later: the engine holds the download, writing nothing, until
    // a destination is set or the download is cancelled.
    GRef<WebKitDownload> held(download);
    ui().chooseSaveLocation(saveName(suggested), [held](std::optional<std::string> path) {
        if (!path) {
            webkit_download_cancel(held.get());
            return;
        }
        // The dialog has asked before replacing a file.
        webkit_download_set_allow_overwrite(held.get(), TRUE);
        webkit_download_set_destination(held.get(), path->c_str());
    });
    return TRUE;
}

void onDownloadStarted(WebKitNetworkSession*, WebKitDownload* download, gpointer data)
{
    auto* impl = static_cast<WebView::Impl*>(data);
    // The session is shared; another view's downloads are its own business.
    WebKitWebView* owner = webkit_download_get_web_view(download);
    if (owner && owner != WEBKIT_WEB_VIEW(impl->view.get()))
        return;
    g_signal_connect(download, "decide-destination", G_CALLBACK(onDecideDestination), nullptr);
}

NavigationType navigationType(WebKitNavigationType type)
{
    switch (type) {
    case WEBKIT_NAVIGATION_TYPE_LINK_CLICKED:
        return NavigationType::linkActivated;
    case WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED:
        return NavigationType::formSubmitted;
    case WEBKIT_NAVIGATION_TYPE_BACK_FORWARD:
        return NavigationType::backForward;
    case WEBKIT_NAVIGATION_TYPE_RELOAD:
        return NavigationType::reload;
    case WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED:
        return NavigationType::formResubmitted;
    case WEBKIT_NAVIGATION_TYPE_OTHER:
        break;
    }
    return NavigationType::other;
}

NavigationAction describe(WebKitNavigationAction* action, const WebView::Impl& impl)
{
    NavigationAction result;
    result.type = navigationType(webkit_navigation_action_get_navigation_type(action));
    result.userGesture = webkit_navigation_action_is_user_gesture(action);
    result.input = impl.lastInput;
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
    if (uri && *uri) {
        result.url = uri;
        result.scheme = urlScheme(uri);
        if (auto parsed = parseURL(uri))
            result.host = parsed->host;
    }
    return result;
}

// Each press the user gives the view starts a new UserInput. The watch runs
// in the capture phase, before the view's own handlers pass the event on to
// the page, so whatever the page does in answer is reported after it. It
// never takes an event away from the page. A held key repeats as presses
// without releases, and the page takes each for a new one (Enter on a link
// follows it again): those stay the first press's.
gboolean onInputEvent(GtkEventControllerLegacy*, GdkEvent* event, gpointer data)
{
    auto* impl = static_cast<WebView::Impl*>(data);
    switch (gdk_event_get_event_type(event)) {
    case GDK_KEY_PRESS:
        if (!impl->heldKeys.insert(gdk_key_event_get_keycode(event)).second)
            break;
        [[fallthrough]];
    case GDK_BUTTON_PRESS:
    case GDK_TOUCH_BEGIN:
        impl->lastInput = std::make_shared<UserInput>();
        break;
    case GDK_KEY_RELEASE:
        impl->heldKeys.erase(gdk_key_event_get_keycode(event));
        break;
    default:
        break;
    }
    return FALSE;
}

// A key let go while the focus is elsewhere is never seen here; pressed
// again, it must not pass for a repeat.
void onFocusLeave(GtkEventControllerFocus*, gpointer data) { static_cast<WebView::Impl*>(data)->heldKeys.clear(); }

void watchUserInput(WebView::Impl& impl)
{
    impl.inputWatch = GRef<GtkEventController>::adopt(gtk_event_controller_legacy_new());
    gtk_event_controller_set_propagation_phase(impl.inputWatch.get(), GTK_PHASE_CAPTURE);
    g_signal_connect(impl.inputWatch.get(), "event", G_CALLBACK(onInputEvent), &impl);
    gtk_widget_add_controller(impl.view.get(), GTK_EVENT_CONTROLLER(g_object_ref(impl.inputWatch.get())));
    impl.focusWatch = GRef<GtkEventController>::adopt(gtk_event_controller_focus_new());
    g_signal_connect(impl.focusWatch.get(), "leave", G_CALLBACK(onFocusLeave), &impl);
    gtk_widget_add_controller(impl.view.get(), GTK_EVENT_CONTROLLER(g_object_ref(impl.focusWatch.get())));
}

gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
    gpointer data)
{
    auto* impl = static_cast<WebView::Impl*>(data);
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION || !impl->config.decideNavigation)
        return FALSE; // WebKit's default handling
    auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
    const NavigationAction action
        = describe(webkit_navigation_policy_decision_get_navigation_action(navigation), *impl);
    if (impl->config.decideNavigation(action))
        webkit_policy_decision_use(decision);
    else
        webkit_policy_decision_ignore(decision);
    return TRUE;
}

GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction* action, gpointer data)
{
    auto* impl = static_cast<WebView::Impl*>(data);
    if (impl->config.onNewWindow)
        impl->config.onNewWindow(describe(action, *impl));
    return nullptr; // the app has one window and one web view
}

void onScriptMessage(WebKitUserContentManager*, JSCValue* value, gpointer data)
{
    auto* impl = static_cast<WebView::Impl*>(data);
    if (!impl->config.onMessage)
        return;
    ScriptMessage message;
    message.name = impl->config.messageHandler;
    if (value && jsc_value_is_string(value)) {
        GCharPtr text(jsc_value_to_string(value));
        message.body = text ? text.get() : "";
    }
    impl->config.onMessage(message);
}

void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data)
{
    auto* impl = static_cast<WebView::Impl*>(data);
    const char* uri = webkit_web_view_get_uri(view);
    if (event == WEBKIT_LOAD_COMMITTED && impl->config.onLoadCommitted)
        impl->config.onLoadCommitted(uri ? uri : "");
    else if (event == WEBKIT_LOAD_FINISHED && impl->config.onLoadFinished)
        impl->config.onLoadFinished(uri ? uri : "");
}

// The engine emits "close" when the page has agreed to go, when the page's
// process was too slow to say (even while it goes on to object), and when a
// page script closes a window it opened, which this view never has. Only an
// open question takes note of it.
void onClose(WebKitWebView*, gpointer data)
{
    auto* impl = static_cast<WebView::Impl*>(data);
    if (impl->leaving && !impl->leaving->answered)
        impl->leaving->closed = true;
}

// A page objects to being left: the app asks the person itself. The engine's
// own dialog never reports what the person chose, and an open question needs
// exactly that (see askToLeave). The page's process waits for the answer.
gboolean onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data)
{
    if (webkit_script_dialog_get_dialog_type(dialog) != WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM)
        return FALSE; // the engine's own
    auto* impl = static_cast<WebView::Impl*>(data);
    std::shared_ptr<LeaveQuestion> question;
    if (impl->leaving && !impl->leaving->answered)
        question = impl->leaving;
    webkit_script_dialog_ref(dialog);
    ui().chooseLater("Leave this page?", "Changes you made may not be saved.", { "Stay on Page", "Leave Page" },
        [dialog, question](int chosen) {
            const bool leave = chosen == 1;
            if (question)
                question->personLeaves = leave;
            webkit_script_dialog_confirm_set_confirmed(dialog, leave);
            webkit_script_dialog_close(dialog);
            webkit_script_dialog_unref(dialog);
        });
    return TRUE;
}

// Runs a load at once, or once the engine has started afresh.
void whenFresh(WebView::Impl& impl, std::function<void()> load)
{
    if (impl.afresh->pending > 0)
        impl.afresh->load = std::move(load);
    else
        load();
}

void onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data)
{
    // Whatever the reason, the page is gone the same way.
    auto* impl = static_cast<WebView::Impl*>(data);
    if (impl->config.onWebProcessEnded)
        impl->config.onWebProcessEnded();
}

// Cookies go in one file beside what the engine keeps for the page by itself
// (its local storage, say) in the session's data folder, which stays where
// the engine puts it; without this the engine keeps them in memory and a
// login ends with the app. Once per session: every view shares it.
void keepCookies(WebKitNetworkSession* session)
{
    constexpr const char* done = "sandvoll-cookies-kept";
    if (webkit_network_session_is_ephemeral(session) || g_object_get_data(G_OBJECT(session), done))
        return;
    g_object_set_data(G_OBJECT(session), done, GINT_TO_POINTER(1));
    WebKitWebsiteDataManager* data = webkit_network_session_get_website_data_manager(session);
    const char* folder = data ? webkit_website_data_manager_get_base_data_directory(data) : nullptr;
    if (!folder)
        return;
    if (const auto file = prepareCookieFile(folder))
        webkit_cookie_manager_set_persistent_storage(webkit_network_session_get_cookie_manager(session),
            file->c_str(), WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
}

} // namespace

std::unique_ptr<WebView> WebView::create(WebViewConfig config)
{
    auto impl = std::make_unique<Impl>();
    impl->config = std::move(config);
    impl->content = GRef<WebKitUserContentManager>::adopt(webkit_user_content_manager_new());

    const std::string& origin = impl->config.appOrigin;
    // A page of another origin that the window shows (a redirect or a
    // script may take it anywhere) must not learn it runs inside the app.
    // The engine's own allow list cannot name a port, so the document says
    // where it is from.
    if (!impl->config.userScript.empty())
        addTopFrameScript(impl->content.get(),
            "if (location.origin === " + quoted(origin) + ") {\n" + impl->config.userScript + "\n}", nullptr);
    if (!impl->config.messageHandler.empty()) {
        // Connect before registering, so no message can slip past.
        const std::string signal = "script-message-received::" + impl->config.messageHandler;
        g_signal_connect(impl->content.get(), signal.c_str(), G_CALLBACK(onScriptMessage), impl.get());
        webkit_user_content_manager_register_script_message_handler(
            impl->content.get(), impl->config.messageHandler.c_str(), bridgeWorld);
        const std::string& name = impl->config.messageHandler;
        addTopFrameScript(impl->content.get(), pageSideOfBridge(origin, name), nullptr);
        addTopFrameScript(impl->content.get(), bridgeSideOfBridge(origin, name), bridgeWorld);
    }

    auto settings = GRef<WebKitSettings>::adopt(webkit_settings_new());
    webkit_settings_set_media_playback_requires_user_gesture(settings.get(), impl->config.mediaNeedsUserAction);
    if (softwareRendering())
        webkit_settings_set_hardware_acceleration_policy(settings.get(), WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    // Pages that ask for the platform's system font by a name this engine
    // does not know fall back to the default family; make that the desktop's
    // interface font so they look native here too.
    if (GtkSettings* gtkSettings = gtk_settings_get_default()) {
        GCharPtr fontName;
        {
            char* raw = nullptr;
            g_object_get(gtkSettings, "gtk-font-name", &raw, nullptr);
            fontName.reset(raw);
        }
        if (fontName) {
            PangoFontDescription* description = pango_font_description_from_string(fontName.get());
            if (const char* family = pango_font_description_get_family(description); family && *family) {
                webkit_settings_set_default_font_family(settings.get(), family);
                webkit_settings_set_sans_serif_font_family(settings.get(), family);
            }
            pango_font_description_free(description);
        }
    }

    impl->view = GRef<GtkWidget>(GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW,
        "user-content-manager", impl->content.get(),
        "settings", settings.get(),
        nullptr)));
    gtk_widget_set_hexpand(impl->view.get(), TRUE);
    gtk_widget_set_vexpand(impl->view.get(), TRUE);
    g_signal_connect(impl->view.get(), "decide-policy", G_CALLBACK(onDecidePolicy), impl.get());
    g_signal_connect(impl->view.get(), "create", G_CALLBACK(onCreate), impl.get());
    g_signal_connect(impl->view.get(), "load-changed", G_CALLBACK(onLoadChanged), impl.get());
    g_signal_connect(impl->view.get(), "web-process-terminated", G_CALLBACK(onWebProcessTerminated), impl.get());
    g_signal_connect(impl->view.get(), "close", G_CALLBACK(onClose), impl.get());
    g_signal_connect(impl->view.get(), "script-dialog", G_CALLBACK(onScriptDialog), impl.get());
    watchUserInput(*impl);
    impl->session = GRef<WebKitNetworkSession>(webkit_web_view_get_network_session(WEBKIT_WEB_VIEW(impl->view.get())));
    if (impl->config.keepCookies)
        keepCookies(impl->session.get());
    g_signal_connect(impl->session.get(), "download-started", G_CALLBACK(onDownloadStarted), impl.get());
    return std::unique_ptr<WebView>(new WebView(std::move(impl)));
}

WebView::WebView(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

WebView::~WebView()
{
    // The widget may outlive us inside the window; it must not call back.
    g_signal_handlers_disconnect_by_data(impl_->view.get(), impl_.get());
    g_signal_handlers_disconnect_by_data(impl_->content.get(), impl_.get());
    g_signal_handlers_disconnect_by_data(impl_->session.get(), impl_.get());
    g_signal_handlers_disconnect_by_data(impl_->inputWatch.get(), impl_.get());
    g_signal_handlers_disconnect_by_data(impl_->focusWatch.get(), impl_.get());
}

void WebView::loadHTML(const std::string& html)
{
    // Asked for later, it replaces what waits.
    impl_->afresh->load = nullptr;
    webkit_web_view_load_html(WEBKIT_WEB_VIEW(impl_->view.get()), html.c_str(), nullptr);
}

void WebView::loadURL(const std::string& url)
{
    whenFresh(*impl_, [view = impl_->view, url] { webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view.get()), url.c_str()); });
}

void WebView::reload()
{
    whenFresh(*impl_, [view = impl_->view] { webkit_web_view_reload(WEBKIT_WEB_VIEW(view.get())); });
}

void WebView::startAfresh()
{
    WebKitNetworkSession* session = impl_->session.get();
    // The engine closes every connection of a session, idle or busy, when
    // the session's proxy settings change, so that none made under the old
    // ones serves a request under the new. Set to what they already are,
    // they change nothing and close nothing, so they change twice, and end
    // as the system's own, the only ones this app uses. No call of the
    // engine closes connections by itself; a session of its own would,
    // but a view cannot change its session, and two sessions on one data
    // folder would share its files while both live.
    webkit_network_session_set_proxy_settings(session, WEBKIT_NETWORK_PROXY_MODE_NO_PROXY, nullptr);
    webkit_network_session_set_proxy_settings(session, WEBKIT_NETWORK_PROXY_MODE_DEFAULT, nullptr);
    // The clearing goes to the network process on the same channel, after
    // the settings: once it is done, so are they, and a load that waited
    // for it finds no connection made before.
    //
    // A service worker answers for its origin from the disk, before any
    // connection, and so do the caches; another account's server that once
    // had the port (or a page it gave the window) could have left either.
    // What a page of this run registers lives on only in this app's own
    // data folder, which only this app opens, and the next launch clears it
    // before its first load: nothing it stored answers in a later run.
    // All of it goes, whatever origin left it: any port on the loopback
    // host may be another account's, and the app's pages lose no more than
    // a warm cache.
    const auto types = static_cast<WebKitWebsiteDataTypes>(WEBKIT_WEBSITE_DATA_SERVICE_WORKER_REGISTRATIONS
        | WEBKIT_WEBSITE_DATA_DISK_CACHE | WEBKIT_WEBSITE_DATA_MEMORY_CACHE | WEBKIT_WEBSITE_DATA_DOM_CACHE);
    ++impl_->afresh->pending;
    webkit_website_data_manager_clear(webkit_network_session_get_website_data_manager(session), types, 0, nullptr,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::weak_ptr<Afresh>> token(static_cast<std::weak_ptr<Afresh>*>(data));
            GError* rawError = nullptr;
            (void)webkit_website_data_manager_clear_finish(WEBKIT_WEBSITE_DATA_MANAGER(source), result, &rawError);
            GErrorPtr error(rawError);
            // The connections are closed whatever the clearing found.
            if (error)
                std::fprintf(stderr, "Sandvoll: the web view's stored pages could not be cleared: %s\n", error->message);
            const auto afresh = token->lock();
            if (!afresh || --afresh->pending > 0)
                return;
            if (auto load = std::exchange(afresh->load, nullptr))
                load();
        },
        new std::weak_ptr<Afresh>(impl_->afresh));
}

void WebView::askToLeave(std::function<void(bool leave)> answer)
{
    if (impl_->leaving && !impl_->leaving->answered) {
        // Asking again would run the page's handlers, and its dialog, twice.
        impl_->leaving->waiting.push_back(std::move(answer));
        return;
    }
    auto question = std::make_shared<LeaveQuestion>();
    question->waiting.push_back(std::move(answer));
    impl_->leaving = question;
    auto* view = WEBKIT_WEB_VIEW(impl_->view.get());
    // Where nothing in the page listens for the page going (and where no web
    // process runs), the engine agrees at once, before this returns: such a
    // page quits without a round trip.
    webkit_web_view_try_close(view);
    if (question->closed) {
        question->answer(true);
        return;
    }
    // Otherwise the page's process runs its handlers and, where one objects,
    // waits while the person is asked. A script sent after the question
    // runs only once the process has answered it, and its result comes back
    // after the engine has acted on that answer: then the person's choice,
    // where they were asked, or else whether the engine closed the page, is
    // the answer. Until then a close may have been the engine giving up on
    // a page that is slow to start its handlers.
    auto* held = new std::shared_ptr<LeaveQuestion>(question);
    webkit_web_view_evaluate_javascript(view, "0", -1, nullptr, nullptr, nullptr,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::shared_ptr<LeaveQuestion>> asked(static_cast<std::shared_ptr<LeaveQuestion>*>(data));
            GError* rawError = nullptr;
            auto value = GRef<JSCValue>::adopt(
                webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &rawError));
            GErrorPtr error(rawError);
            auto& question = **asked;
            question.answer(question.personLeaves.value_or(question.closed));
        },
        held);
}

void WebView::cut() { webkit_web_view_execute_editing_command(WEBKIT_WEB_VIEW(impl_->view.get()), WEBKIT_EDITING_COMMAND_CUT); }

void WebView::copy() { webkit_web_view_execute_editing_command(WEBKIT_WEB_VIEW(impl_->view.get()), WEBKIT_EDITING_COMMAND_COPY); }

void WebView::paste() { webkit_web_view_execute_editing_command(WEBKIT_WEB_VIEW(impl_->view.get()), WEBKIT_EDITING_COMMAND_PASTE); }

void WebView::selectAll()
{
    webkit_web_view_execute_editing_command(WEBKIT_WEB_VIEW(impl_->view.get()), WEBKIT_EDITING_COMMAND_SELECT_ALL);
}

void WebView::evaluateJavaScript(const std::string& script,
    std::function<void(std::optional<std::string>)> done)
{
    auto* callback = new std::function<void(std::optional<std::string>)>(std::move(done));
    webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(impl_->view.get()), script.c_str(),
        static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::function<void(std::optional<std::string>)>> cb(
                static_cast<std::function<void(std::optional<std::string>)>*>(data));
            GError* rawError = nullptr;
            JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &rawError);
            GErrorPtr error(rawError);
            if (!value) {
                (*cb)(std::nullopt);
                return;
            }
            auto owned = GRef<JSCValue>::adopt(value);
            GCharPtr json(jsc_value_to_json(value, 0));
            (*cb)(json ? std::optional<std::string>(json.get()) : std::optional<std::string>("undefined"));
        },
        callback);
}

std::string WebView::currentURL() const
{
    const char* uri = webkit_web_view_get_uri(WEBKIT_WEB_VIEW(impl_->view.get()));
    return uri ? uri : "";
}

void* WebView::widget() const { return impl_->view.get(); }

std::optional<ParsedURL> parseURL(const std::string& text)
{
    GError* rawError = nullptr;
    // Scheme normalisation fills in the default port and leaves the host as written.
    GUriPtr uri(g_uri_parse(text.c_str(),
        GUriFlags(G_URI_FLAGS_ENCODED | G_URI_FLAGS_NON_DNS | G_URI_FLAGS_SCHEME_NORMALIZE), &rawError));
    GErrorPtr error(rawError);
    if (!uri)
        return std::nullopt;
    ParsedURL parsed;
    parsed.scheme = g_uri_get_scheme(uri.get());
    const char* host = g_uri_get_host(uri.get());
    if (host && *host)
        parsed.host = host;
    parsed.port = g_uri_get_port(uri.get());
    return parsed;
}

std::optional<std::string> urlScheme(const std::string& text)
{
    const char* scheme = g_uri_peek_scheme(text.c_str());
    if (!scheme)
        return std::nullopt;
    return std::string(scheme);
}

} // namespace sv::platform
