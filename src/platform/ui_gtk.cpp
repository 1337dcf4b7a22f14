#include "platform/ui.h"

#include "platform/gobject_ptr.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <utility>

namespace sv::platform {
namespace {

UiSurface* installed = nullptr;

GtkWindow* activeWindow()
{
    GApplication* app = g_application_get_default();
    if (app && GTK_IS_APPLICATION(app))
        return gtk_application_get_active_window(GTK_APPLICATION(app));
    return nullptr;
}

struct Modal {
    GMainLoop* loop = nullptr;
    int response = GTK_RESPONSE_NONE;
};

// Runs a dialog in a nested main loop, as a modal run does: the caller waits
// for the answer while timers, probes and painting go on.
int runModal(GtkWidget* dialog)
{
    Modal modal;
    modal.loop = g_main_loop_new(nullptr, FALSE);
    g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog*, int response, gpointer data) {
        auto* m = static_cast<Modal*>(data);
        m->response = response;
        g_main_loop_quit(m->loop);
    }),
        &modal);
    gtk_window_present(GTK_WINDOW(dialog));
    g_main_loop_run(modal.loop);
    g_main_loop_unref(modal.loop);
    gtk_window_destroy(GTK_WINDOW(dialog));
    return modal.response;
}

GtkWidget* messageDialog(const std::string& title, const std::string& text, GtkButtonsType buttons)
{
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GtkWidget* dialog = gtk_message_dialog_new(activeWindow(), GTK_DIALOG_MODAL,
        GTK_MESSAGE_OTHER, buttons, "%s", title.c_str());
    if (!text.empty())
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", text.c_str());
    G_GNUC_END_IGNORE_DEPRECATIONS
    gtk_window_set_title(GTK_WINDOW(dialog), title.c_str());
    // The title names the box for window lists and assistive technology; in
    // the box the message already says it. Where GTK draws the decorations
    // itself (Wayland), an empty titlebar keeps it from saying it twice.
    GtkWidget* titlebar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_widget_set_visible(titlebar, FALSE);
    gtk_window_set_titlebar(GTK_WINDOW(dialog), titlebar);
    return dialog;
}

// A box with the given buttons, the first of them the default.
GtkWidget* choiceDialog(const std::string& title, const std::string& text, const std::vector<std::string>& buttons)
{
    GtkWidget* dialog = messageDialog(title, text, GTK_BUTTONS_NONE);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    // GTK lays buttons out right to left from the end, so the default
    // (first) button is added last to sit at the far right.
    for (int i = static_cast<int>(buttons.size()) - 1; i >= 0; --i)
        gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[i].c_str(), i);
    if (!buttons.empty())
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
    G_GNUC_END_IGNORE_DEPRECATIONS
    return dialog;
}

// The button a dialog's response names; -1 when it was closed otherwise.
int chosenButton(int response, const std::vector<std::string>& buttons)
{
    return response >= 0 && response < static_cast<int>(buttons.size()) ? response : -1;
}

class NoProgressWindow final : public ProgressWindow {
public:
    void update(const std::string&, std::optional<double>, const std::string&) override { }
};

class GtkProgressWindow final : public ProgressWindow {
public:
    GtkProgressWindow(const std::string& title, const std::string& cancelButton, std::function<void()> onCancel)
        : onCancel_(std::move(onCancel))
    {
        window_ = GTK_WINDOW(gtk_window_new());
        gtk_window_set_title(window_, title.c_str());
        // Above the app's window, which stays usable: not modal.
        gtk_window_set_transient_for(window_, activeWindow());
        gtk_window_set_resizable(window_, FALSE);
        gtk_window_set_default_size(window_, 440, -1);

        GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
        gtk_widget_set_margin_top(box, 18);
        gtk_widget_set_margin_bottom(box, 18);
        gtk_widget_set_margin_start(box, 18);
        gtk_widget_set_margin_end(box, 18);
        text_ = GTK_LABEL(gtk_label_new(""));
        gtk_label_set_xalign(text_, 0);
        gtk_label_set_ellipsize(text_, PANGO_ELLIPSIZE_END);
        bar_ = GTK_PROGRESS_BAR(gtk_progress_bar_new());
        detail_ = GTK_LABEL(gtk_label_new(""));
        gtk_label_set_xalign(detail_, 0);
        gtk_widget_add_css_class(GTK_WIDGET(detail_), "dim-label");
        GtkWidget* cancel = gtk_button_new_with_label(cancelButton.c_str());
        gtk_widget_set_halign(cancel, GTK_ALIGN_END);
        gtk_widget_set_margin_top(cancel, 6);
        gtk_box_append(GTK_BOX(box), GTK_WIDGET(text_));
        gtk_box_append(GTK_BOX(box), GTK_WIDGET(bar_));
        gtk_box_append(GTK_BOX(box), GTK_WIDGET(detail_));
        gtk_box_append(GTK_BOX(box), cancel);
        gtk_window_set_child(window_, box);

        // The signals die with the window, which goes in the destructor.
        g_signal_connect_swapped(cancel, "clicked", G_CALLBACK(+[](GtkProgressWindow* self) { self->cancel(); }), this);
        g_signal_connect_swapped(window_, "close-request",
            G_CALLBACK(+[](GtkProgressWindow* self) -> gboolean {
                self->cancel();
                return TRUE; // hidden by cancel(); destroyed with this object
            }),
            this);
        GtkEventController* keys = gtk_shortcut_controller_new();
        gtk_shortcut_controller_add_shortcut(GTK_SHORTCUT_CONTROLLER(keys),
            gtk_shortcut_new(gtk_keyval_trigger_new(GDK_KEY_Escape, GdkModifierType(0)),
                gtk_callback_action_new(
                    +[](GtkWidget*, GVariant*, gpointer self) -> gboolean {
                        static_cast<GtkProgressWindow*>(self)->cancel();
                        return TRUE;
                    },
                    this, nullptr)));
        gtk_widget_add_controller(GTK_WIDGET(window_), keys);
        gtk_window_present(window_);
    }

    ~GtkProgressWindow() override
    {
        stopPulsing();
        gtk_window_destroy(window_);
    }
    GtkProgressWindow(const GtkProgressWindow&) = delete;
    GtkProgressWindow& operator=(const GtkProgressWindow&) = delete;

    void update(const std::string& text, std::optional<double> fraction, const std::string& detail) override
    {
        gtk_label_set_text(text_, text.c_str());
        gtk_label_set_text(detail_, detail.c_str());
        if (fraction) {
            stopPulsing();
            gtk_progress_bar_set_fraction(bar_, std::clamp(*fraction, 0.0, 1.0));
        } else if (!pulse_) {
            // A bar that moves shows that the work goes on, though nobody
            // can say how far it is.
            pulse_ = g_timeout_add(100, +[](gpointer bar) -> gboolean {
                gtk_progress_bar_pulse(GTK_PROGRESS_BAR(bar));
                return G_SOURCE_CONTINUE;
            }, bar_);
        }
    }

private:
    void cancel()
    {
        gtk_widget_set_visible(GTK_WIDGET(window_), FALSE);
        if (auto onCancel = std::exchange(onCancel_, nullptr))
            onCancel();
    }

    void stopPulsing()
    {
        if (pulse_)
            g_source_remove(std::exchange(pulse_, 0));
    }

    GtkWindow* window_ = nullptr;
    GtkLabel* text_ = nullptr;
    GtkProgressBar* bar_ = nullptr;
    GtkLabel* detail_ = nullptr;
    guint pulse_ = 0;
    std::function<void()> onCancel_;
};

// The user's Downloads folder, made when it is missing, as a browser does;
// the home folder when even that fails.
std::string downloadsFolder()
{
    const char* special = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD);
    GCharPtr fallback(g_build_filename(g_get_home_dir(), "Downloads", nullptr));
    const char* folder = special ? special : fallback.get();
    if (g_mkdir_with_parents(folder, 0755) != 0)
        return g_get_home_dir();
    return folder;
}

using SaveDone = std::function<void(std::optional<std::string>)>;

void onSaveResponse(GtkNativeDialog* dialog, int response, gpointer data)
{
    std::unique_ptr<SaveDone> done(static_cast<SaveDone*>(data));
    // The dialog's own reference, taken when it was made, goes with it.
    auto owned = GRef<GtkNativeDialog>::adopt(dialog);
    std::optional<std::string> path;
    if (response == GTK_RESPONSE_ACCEPT) {
        auto file = GRef<GFile>::adopt(gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog)));
        GCharPtr chosen(file ? g_file_get_path(file.get()) : nullptr);
        if (chosen)
            path = chosen.get();
    }
    gtk_native_dialog_hide(dialog);
    (*done)(std::move(path));
}

class GtkUi final : public UiSurface {
public:
    void alert(const std::string& title, const std::string& text) override
    {
        GtkWidget* dialog = messageDialog(title, text, GTK_BUTTONS_OK);
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
        G_GNUC_END_IGNORE_DEPRECATIONS
        runModal(dialog);
    }

    int choose(const std::string& title, const std::string& text,
        const std::vector<std::string>& buttons) override
    {
        return chosenButton(runModal(choiceDialog(title, text, buttons)), buttons);
    }

    void chooseLater(const std::string& title, const std::string& text, const std::vector<std::string>& buttons,
        std::function<void(int)> done) override
    {
        struct Waiting {
            std::vector<std::string> buttons;
            std::function<void(int)> done;
        };
        GtkWidget* dialog = choiceDialog(title, text, buttons);
        g_signal_connect_data(dialog, "response", G_CALLBACK(+[](GtkDialog* dialog, int response, gpointer data) {
            auto* waiting = static_cast<Waiting*>(data);
            // Closing the box answers too; whatever comes after is not asked.
            auto done = std::exchange(waiting->done, nullptr);
            const int chosen = chosenButton(response, waiting->buttons);
            gtk_window_destroy(GTK_WINDOW(dialog));
            if (done)
                done(chosen);
        }),
            new Waiting { buttons, std::move(done) },
            +[](gpointer data, GClosure*) { delete static_cast<Waiting*>(data); }, GConnectFlags {});
        gtk_window_present(GTK_WINDOW(dialog));
    }

    void openURL(const std::string& url) override
    {
        // The result is not looked at: with no handler for the scheme there
        // is nothing useful to tell the user.
        g_app_info_launch_default_for_uri_async(url.c_str(), nullptr, nullptr, nullptr, nullptr);
    }

    std::unique_ptr<ProgressWindow> showProgress(
        const std::string& title, const std::string& cancelButton, std::function<void()> onCancel) override
    {
        return std::make_unique<GtkProgressWindow>(title, cancelButton, std::move(onCancel));
    }

    void chooseSaveLocation(const std::string& suggestedName, SaveDone done) override
    {
        // The native chooser goes through the desktop portal where there is
        // one (a sandbox), and is GTK's own dialog elsewhere. It overwrites
        // an existing file only after the user has confirmed it.
        GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
            "Save File", activeWindow(), GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "_Cancel");
        gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
        auto folder = GRef<GFile>::adopt(g_file_new_for_path(downloadsFolder().c_str()));
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), folder.get(), nullptr);
        gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), suggestedName.c_str());
        g_signal_connect(chooser, "response", G_CALLBACK(onSaveResponse), new SaveDone(std::move(done)));
        gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
    }
};

} // namespace

std::unique_ptr<ProgressWindow> UiSurface::showProgress(const std::string&, const std::string&, std::function<void()>)
{
    return std::make_unique<NoProgressWindow>();
}

UiSurface& ui()
{
    if (installed)
        return *installed;
    static std::unique_ptr<UiSurface> gtkUi = makeGtkUi();
    return *gtkUi;
}

UiSurface* setUi(UiSurface* surface) { return std::exchange(installed, surface); }

std::unique_ptr<UiSurface> makeGtkUi() { return std::make_unique<GtkUi>(); }

} // namespace sv::platform
