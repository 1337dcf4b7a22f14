// Checks that the system's toolkit and web engine work here, without any of
// the app's code: a window with a web view runs a page's script, and the
// engine's web process that ran it is sandboxed (bubblewrap gives it a mount
// namespace of its own). When this passes and the app's window tests fail on
// the same system, the fault is the app's; when this fails, it is the
// system's, or the way the tests enter it (a root whose / is no mount point
// leaves the engine unable to sandbox, and it refuses to start pages).
//
// usage: web_engine_check     (on a display; prints what it saw)

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* page = "<script>document.title = 'ran ' + 6 * 7</script>";
constexpr const char* ranTitle = "ran 42";
constexpr unsigned timeoutSeconds = 60;

struct Check {
    GMainLoop* loop = nullptr;
    bool ran = false;
    bool timedOut = false;
    std::string webProcessEnded;
};

pid_t parentOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    // The command name in brackets may hold blanks and brackets itself.
    const auto close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(stat.substr(close + 1));
    char state = 0;
    pid_t parent = 0;
    rest >> state >> parent;
    return parent;
}

bool startedByUs(pid_t pid)
{
    for (pid_t p = parentOf(pid); p > 1; p = parentOf(p)) {
        if (p == getpid())
            return true;
    }
    return false;
}

std::string linkOf(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::read_symlink(path, error).string();
}

// The engine's web processes that this process started: other people's
// browsers on the same machine are none of this check's business.
std::vector<pid_t> ourWebProcesses()
{
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in(entry.path() / "comm");
        std::string comm;
        std::getline(in, comm);
        // The kernel keeps 15 characters of "WebKitWebProcess".
        if (comm.rfind("WebKitWebProces", 0) == 0 && startedByUs(std::stoi(name)))
            found.push_back(std::stoi(name));
    }
    return found;
}

void onTitle(WebKitWebView* view, GParamSpec*, Check* check)
{
    const char* title = webkit_web_view_get_title(view);
    if (title && std::string(title) == ranTitle) {
        check->ran = true;
        g_main_loop_quit(check->loop);
    }
}

void onWebProcessEnded(WebKitWebView*, WebKitWebProcessTerminationReason reason, Check* check)
{
    check->webProcessEnded = reason == WEBKIT_WEB_PROCESS_CRASHED ? "crashed"
        : reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT  ? "went over its memory limit"
                                                               : "was ended";
    g_main_loop_quit(check->loop);
}

gboolean onTimeout(gpointer data)
{
    auto* check = static_cast<Check*>(data);
    check->timedOut = true;
    g_main_loop_quit(check->loop);
    return G_SOURCE_REMOVE;
}

} // namespace

int main()
{
    if (!gtk_init_check()) {
        std::fprintf(stderr, "web_engine_check: the toolkit found no display\n");
        return 1;
    }
    std::printf("web_engine_check: GTK %u.%u.%u, WebKitGTK %u.%u.%u\n", gtk_get_major_version(),
        gtk_get_minor_version(), gtk_get_micro_version(), webkit_get_major_version(), webkit_get_minor_version(),
        webkit_get_micro_version());
    if (const char* off = std::getenv("WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS"); off && *off)
        std::printf("web_engine_check: WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS is set, which turns the sandbox off\n");

    // The process ends right after the check, so what it made is not given back.
    Check check;
    check.loop = g_main_loop_new(nullptr, FALSE);
    GtkWidget* window = gtk_window_new();
    GtkWidget* view = webkit_web_view_new();
    gtk_window_set_child(GTK_WINDOW(window), view);
    g_signal_connect(view, "notify::title", G_CALLBACK(onTitle), &check);
    g_signal_connect(view, "web-process-terminated", G_CALLBACK(onWebProcessEnded), &check);
    gtk_window_present(GTK_WINDOW(window));
    webkit_web_view_load_html(WEBKIT_WEB_VIEW(view), page, nullptr);
    g_timeout_add_seconds(timeoutSeconds, onTimeout, &check);
    g_main_loop_run(check.loop);

    if (!check.webProcessEnded.empty()) {
        std::fprintf(stderr, "web_engine_check: the web process %s before the page's script ran\n",
            check.webProcessEnded.c_str());
        return 1;
    }
    if (!check.ran) {
        std::fprintf(stderr, "web_engine_check: the page's script did not run within %u seconds\n", timeoutSeconds);
        return 1;
    }
    std::printf("web_engine_check: the page's script ran\n");

    const auto processes = ourWebProcesses();
    if (processes.empty()) {
        std::fprintf(stderr, "web_engine_check: no web process of ours is left to look at\n");
        return 1;
    }
    const std::string ours = linkOf("/proc/self/ns/mnt");
    for (pid_t pid : processes) {
        const std::string its = linkOf("/proc/" + std::to_string(pid) + "/ns/mnt");
        if (its.empty()) {
            std::fprintf(stderr, "web_engine_check: the mount namespace of web process %d cannot be read\n", int(pid));
            return 1;
        }
        if (its == ours) {
            std::fprintf(stderr, "web_engine_check: web process %d shares our mounts (%s): it runs without its sandbox\n",
                int(pid), ours.c_str());
            return 1;
        }
        std::printf("web_engine_check: web process %d runs in a sandbox of its own (%s; ours %s)\n", int(pid),
            its.c_str(), ours.c_str());
    }
    return 0;
}
