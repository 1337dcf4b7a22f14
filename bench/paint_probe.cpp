// Starts a program and watches the X display from outside it, the way a
// person would: when its window named "Sandvoll" first shows grey status
// text, and when it first shows dark page text. Then reports the resident
// memory of the program and of its helper processes, and stops it.
//
// usage: paint_probe [--until grey|dark] [--settle SECONDS] -- program args...
// prints one JSON object.

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::optional<Window> findWindow(Display* display, Window root, const char* title)
{
    Window rootReturn, parent;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, root, &rootReturn, &parent, &children, &count))
        return std::nullopt;
    std::optional<Window> found;
    for (unsigned i = 0; i < count && !found; ++i) {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(display, children[i], &attributes) || attributes.map_state != IsViewable)
            continue;
        char* name = nullptr;
        if (XFetchName(display, children[i], &name) && name) {
            if (std::strcmp(name, title) == 0 && attributes.width > 100)
                found = children[i];
            XFree(name);
        }
    }
    if (children)
        XFree(children);
    return found;
}

// Counts pixels of the two kinds in the window's middle band.
struct Ink {
    int grey = 0;
    int dark = 0;
    int white = 0;
    int total = 0;
};

Ink inkIn(Display* display, Window window)
{
    XWindowAttributes attributes;
    Ink ink;
    if (!XGetWindowAttributes(display, window, &attributes))
        return ink;
    XImage* image = XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    if (!image)
        return ink;
    for (int y = 30; y < attributes.height; y += 2) {
        for (int x = 0; x < attributes.width; x += 2) {
            const unsigned long p = XGetPixel(image, x, y);
            const int r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
            ++ink.total;
            if (r > 0xf8 && g > 0xf8 && b > 0xf8)
                ++ink.white;
            if (std::abs(r - g) < 6 && std::abs(g - b) < 6) {
                if (r >= 0x70 && r <= 0xa0)
                    ++ink.grey;
                else if (r < 0x40)
                    ++ink.dark;
            }
        }
    }
    XDestroyImage(image);
    return ink;
}

long rssKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

std::map<pid_t, pid_t> parents()
{
    std::map<pid_t, pid_t> result;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0)
            continue;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        const auto close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(text.substr(close + 2));
        char state;
        pid_t parent;
        rest >> state >> parent;
        result[pid] = parent;
    }
    if (proc)
        closedir(proc);
    return result;
}

std::string comm(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(f, name);
    return name;
}

} // namespace

int main(int argc, char** argv)
{
    std::string until = "grey";
    double settle = 0;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (!std::strcmp(argv[i], "--until") && i + 1 < argc)
            until = argv[++i];
        else if (!std::strcmp(argv[i], "--settle") && i + 1 < argc)
            settle = std::atof(argv[++i]);
    }
    if (i + 1 >= argc) {
        std::fprintf(stderr, "usage: paint_probe [--until grey|dark] [--settle S] -- program args...\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "paint_probe: no display\n");
        return 2;
    }
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        execv(argv[i + 1], argv + i + 1);
        _exit(127);
    }
    std::optional<double> windowMs, greyMs, darkMs, serverMs;
    const auto ms = [&] { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); };
    while (ms() < 120000) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            std::fprintf(stderr, "paint_probe: the program exited\n");
            return 1;
        }
        if (!serverMs) {
            // The app's server: a python descendant of the program.
            const auto tree = parents();
            for (const auto& [pid, parent] : tree) {
                if (parent == child && comm(pid).rfind("python", 0) == 0)
                    serverMs = ms();
            }
        }
        if (auto window = findWindow(display, DefaultRootWindow(display), "Sandvoll")) {
            if (!windowMs)
                windowMs = ms();
            Ink ink = inkIn(display, *window);
            // Before its first paint a window is black: text counts only on a page.
            if (ink.white * 2 < ink.total)
                ink = Ink {};
            if (!greyMs && ink.grey > 20)
                greyMs = ms();
            if (!darkMs && ink.dark > 200)
                darkMs = ms();
            if ((until == "grey" && greyMs) || (until == "dark" && darkMs))
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (settle > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(settle));
    long helpers = 0;
    long server = 0;
    const auto tree = parents();
    for (const auto& [pid, parent] : tree) {
        // Descendants of the program: WebKit's helpers and, for the app, the server.
        pid_t p = parent;
        while (p > 1 && p != child)
            p = tree.count(p) ? tree.at(p) : 0;
        if (p != child)
            continue;
        if (comm(pid).rfind("python", 0) == 0)
            server += rssKiB(pid);
        else
            helpers += rssKiB(pid);
    }
    const long own = rssKiB(child);
    kill(-child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    const auto show = [](const std::optional<double>& v) { return v ? std::to_string(*v) : std::string("null"); };
    std::printf("{\"window_ms\": %s, \"grey_ms\": %s, \"dark_ms\": %s, \"server_spawn_ms\": %s, \"rss_kib\": %ld, "
                "\"helpers_rss_kib\": %ld, \"server_rss_kib\": %ld}\n",
        show(windowMs).c_str(), show(greyMs).c_str(), show(darkMs).c_str(), show(serverMs).c_str(), own, helpers,
        server);
    XCloseDisplay(display);
    return 0;
}
