#include "platform/window.h"

#include "platform/gobject_ptr.h"
#include "platform/web_view.h"

#include <gtk/gtk.h>

namespace sv::platform {

struct Window::Impl {
    GtkWindow* window = nullptr; // owned by GTK's toplevel list until destroyed
    GtkWidget* content = nullptr;
    std::function<void()> onCloseRequest;
    guint focusReturn = 0; // the idle that gives the focus back to the content
};

namespace {

bool anyMenuOpen(GtkWidget* bar)
{
    for (GtkWidget* child = gtk_widget_get_first_child(bar); child; child = gtk_widget_get_next_sibling(child)) {
        if ((GTK_IS_POPOVER(child) && gtk_widget_get_visible(child)) || anyMenuOpen(child))
            return true;
    }
    return false;
}

// Whether the keyboard focus sits on the menu bar's titles with no menu
// open. The toolkit leaves it there when a menu closes, whether an item was
// chosen or the menu dismissed, and moves it there when the pointer merely
// passes over a title; typing would then reach no page, and Return would
// open the menu again.
bool focusLeftOnMenuBar(GtkWindow* window)
{
    GtkWidget* focus = gtk_window_get_focus(window);
    if (!focus || gtk_widget_get_ancestor(focus, GTK_TYPE_POPOVER))
        return false;
    GtkWidget* bar = gtk_widget_get_ancestor(focus, GTK_TYPE_POPOVER_MENU_BAR);
    return bar && !anyMenuOpen(bar);
}

// Checked once the toolkit is done with the event at hand (moving between
// menus with the arrow keys closes one before it opens the next), and before
// the next event: a key typed right after Escape closed a menu goes to the
// page, not to the menu bar.
gboolean returnFocus(gpointer data)
{
    auto* impl = static_cast<Window::Impl*>(data);
    impl->focusReturn = 0;
    if (focusLeftOnMenuBar(impl->window))
        gtk_widget_grab_focus(impl->content);
    return G_SOURCE_REMOVE;
}

void onFocusChanged(GtkWindow* window, GParamSpec*, gpointer data)
{
    auto* impl = static_cast<Window::Impl*>(data);
    if (!impl->focusReturn && focusLeftOnMenuBar(window))
        impl->focusReturn = g_idle_add_full(G_PRIORITY_HIGH, returnFocus, impl, nullptr);
}

gboolean onCloseRequest(GtkWindow*, gpointer data)
{
    auto* impl = static_cast<Window::Impl*>(data);
    if (impl->onCloseRequest)
        impl->onCloseRequest();
    return TRUE; // the window is only ever closed by ending the app
}

} // namespace

std::unique_ptr<Window> Window::create(const WindowSpec& spec, WebView& content)
{
    auto impl = std::make_unique<Impl>();
    impl->onCloseRequest = spec.onCloseRequest;
    GtkApplication* app = nullptr;
    if (GApplication* defaultApp = g_application_get_default(); defaultApp && GTK_IS_APPLICATION(defaultApp))
        app = GTK_APPLICATION(defaultApp);
    GtkWidget* widget = app ? gtk_application_window_new(app) : gtk_window_new();
    impl->window = GTK_WINDOW(widget);
    gtk_window_set_title(impl->window, spec.title.c_str());
    gtk_window_set_default_size(impl->window, spec.width, spec.height);
    gtk_window_set_resizable(impl->window, TRUE);
    // The size request of the content is the window's minimum size.
    auto* view = static_cast<GtkWidget*>(content.widget());
    gtk_widget_set_size_request(view, spec.minWidth, spec.minHeight);
    gtk_window_set_child(impl->window, view);
    impl->content = view;
    g_signal_connect(widget, "notify::focus-widget", G_CALLBACK(onFocusChanged), impl.get());
    if (app)
        gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(widget), TRUE);
    g_signal_connect(widget, "close-request", G_CALLBACK(onCloseRequest), impl.get());
    return std::unique_ptr<Window>(new Window(std::move(impl)));
}

Window::Window(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Window::~Window()
{
    g_signal_handlers_disconnect_by_data(impl_->window, impl_.get());
    if (impl_->focusReturn)
        g_source_remove(impl_->focusReturn);
    gtk_window_destroy(impl_->window);
}

void Window::setSize(WindowSize size) { gtk_window_set_default_size(impl_->window, size.width, size.height); }

void Window::maximize() { gtk_window_maximize(impl_->window); }

void Window::present() { gtk_window_present(impl_->window); }

void Window::afterFirstFrame(std::function<void()> callback)
{
    // A window that is hidden or minimised may not draw at all, so a timer
    // makes sure the callback runs anyway.
    constexpr unsigned latestMs = 250;
    struct Pending {
        std::function<void()> callback;
        GRef<GdkFrameClock> clock;
        gulong paintHandler = 0;
        guint timer = 0;
        void fire()
        {
            if (paintHandler)
                g_signal_handler_disconnect(clock.get(), paintHandler);
            if (timer)
                g_source_remove(timer);
            auto run = std::move(callback);
            delete this;
            run();
        }
    };
    auto* pending = new Pending;
    pending->callback = std::move(callback);
    if (GdkFrameClock* clock = gtk_widget_get_frame_clock(GTK_WIDGET(impl_->window))) {
        pending->clock = GRef<GdkFrameClock>(clock);
        pending->paintHandler = g_signal_connect_swapped(clock, "after-paint",
            G_CALLBACK(+[](Pending* p) { p->fire(); }), pending);
    }
    pending->timer = g_timeout_add(latestMs, [](gpointer data) {
        auto* p = static_cast<Pending*>(data);
        p->timer = 0; // ends with this call
        p->fire();
        return G_SOURCE_REMOVE;
    }, pending);
}

WindowSize Window::size() const
{
    // GTK 4 keeps the default size in step with the user's resizing while
    // the window is in its normal state, and leaves it alone while
    // maximized, which is the size to come back to.
    WindowSize size;
    gtk_window_get_default_size(impl_->window, &size.width, &size.height);
    if (!gtk_window_is_maximized(impl_->window) && gtk_widget_get_mapped(GTK_WIDGET(impl_->window))) {
        const int w = gtk_widget_get_width(GTK_WIDGET(impl_->window));
        const int h = gtk_widget_get_height(GTK_WIDGET(impl_->window));
        if (w > 0 && h > 0)
            size = { w, h };
    }
    return size;
}

bool Window::isMaximized() const { return gtk_window_is_maximized(impl_->window); }

} // namespace sv::platform
