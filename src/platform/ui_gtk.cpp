#include "platform/ui.h"

#include "platform/gobject_ptr.h"

#include <gtk/gtk.h>

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
    return dialog;
}

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
        GtkWidget* dialog = messageDialog(title, text, GTK_BUTTONS_NONE);
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        // GTK lays buttons out right to left from the end, so the default
        // (first) button is added last to sit at the far right.
        for (int i = static_cast<int>(buttons.size()) - 1; i >= 0; --i)
            gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[i].c_str(), i);
        if (!buttons.empty())
            gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
        G_GNUC_END_IGNORE_DEPRECATIONS
        const int response = runModal(dialog);
        return response >= 0 && response < static_cast<int>(buttons.size()) ? response : -1;
    }

    void openURL(const std::string& url) override
    {
        // The result is not looked at: with no handler for the scheme there
        // is nothing useful to tell the user.
        g_app_info_launch_default_for_uri_async(url.c_str(), nullptr, nullptr, nullptr, nullptr);
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
