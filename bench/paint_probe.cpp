// Starts a program and watches the X display from outside it, the way a
// person would: when its window first shows up, when it is first painted
// (mostly light instead of the blank black of an undrawn window), when it
// first shows grey status text and when it first shows dark page text.
// Then it lets the program settle and reports what its whole process tree
// costs: resident memory (RSS, and PSS, which shares the pages that several
// processes map between them), and CPU time spent while it sits idle.
//
// The probe makes itself the child subreaper, so helper processes that a
// program forks off and orphans (a browser's zygote, say) stay in its tree
// and are counted and stopped with it.
//
// usage: paint_probe [options] -- program args...
//   --title TEXT      the window to watch has this title (default "Sandvoll")
//   --any-title       watch the largest window that any process of the tree owns
//   --until EVENT     paint, grey or dark: stop watching at that event (default grey)
//   --settle S        then wait S seconds before measuring memory, still looking
//                     at the window: the time of its last change is when the
//                     page was complete (it looked as it does once settled)
//   --idle S          then count the tree's CPU time over S seconds
//   --server-pid PID  the server is this process (and its children) outside the
//                     tree; without it, python processes in the tree are the server
//   --timeout S       give up watching after S seconds (default 120)
//   --shots PREFIX    write the window as PREFIX-paint.ppm and PREFIX-dark.ppm
//   --trace           print each look at the window to stderr
// prints one JSON object.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string title = "Sandvoll";
    bool anyTitle = false;
    std::string until = "grey";
    double settle = 0;
    double idle = 0;
    pid_t serverPid = 0;
    double timeout = 120;
    std::string shots;
    bool trace = false;
};

// Process table: parent of each process, read from /proc.
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
        if (state != 'Z')
            result[pid] = parent;
    }
    if (proc)
        closedir(proc);
    return result;
}

// The processes below `top` (not `top` itself).
std::set<pid_t> descendants(const std::map<pid_t, pid_t>& table, pid_t top)
{
    std::set<pid_t> result;
    for (const auto& [pid, parent] : table) {
        pid_t p = parent;
        int depth = 0;
        while (p > 1 && p != top && depth++ < 64) {
            const auto up = table.find(p);
            p = up == table.end() ? 0 : up->second;
        }
        if (p == top && pid != top)
            result.insert(pid);
    }
    return result;
}

std::string comm(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(f, name);
    return name;
}

long fieldKiB(const std::string& file, const char* key)
{
    std::ifstream in(file);
    std::string line;
    const size_t length = std::strlen(key);
    while (std::getline(in, line)) {
        if (line.compare(0, length, key) == 0)
            return std::strtol(line.c_str() + length, nullptr, 10);
    }
    return 0;
}

long rssKiB(pid_t pid) { return fieldKiB("/proc/" + std::to_string(pid) + "/status", "VmRSS:"); }
long pssKiB(pid_t pid) { return fieldKiB("/proc/" + std::to_string(pid) + "/smaps_rollup", "Pss:"); }

// CPU time of a process and of the children it has reaped, in clock ticks.
long long cpuTicks(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    std::vector<std::string> fields;
    while (rest >> field && fields.size() < 15)
        fields.push_back(field);
    if (fields.size() < 15)
        return 0;
    // Fields 14 to 17 of stat (utime, stime, cutime, cstime), counted from the state.
    return std::atoll(fields[11].c_str()) + std::atoll(fields[12].c_str()) + std::atoll(fields[13].c_str())
        + std::atoll(fields[14].c_str());
}

struct Group {
    std::set<pid_t> pids;
    long rss = 0;
    long pss = 0;
};

// The program's tree split in three: the program itself, its helpers, and the server.
struct Tree {
    pid_t root = 0;
    Group helpers;
    Group server;
};

Tree treeOf(pid_t child, pid_t serverPid)
{
    const auto table = parents();
    Tree tree;
    tree.root = child;
    for (pid_t pid : descendants(table, getpid())) {
        if (pid == child)
            continue;
        const bool isServer = !serverPid && comm(pid).rfind("python", 0) == 0;
        (isServer ? tree.server : tree.helpers).pids.insert(pid);
    }
    if (serverPid) {
        tree.server.pids = descendants(table, serverPid);
        tree.server.pids.insert(serverPid);
    }
    for (Group* group : { &tree.helpers, &tree.server }) {
        for (pid_t pid : group->pids) {
            group->rss += rssKiB(pid);
            group->pss += pssKiB(pid);
        }
    }
    return tree;
}

std::map<pid_t, long long> cpuOf(const std::set<pid_t>& pids)
{
    std::map<pid_t, long long> result;
    for (pid_t pid : pids)
        result[pid] = cpuTicks(pid);
    return result;
}

// CPU spent between two readings; a process that is new in the second counts whole.
double cpuMsBetween(const std::map<pid_t, long long>& before, const std::map<pid_t, long long>& after)
{
    long long ticks = 0;
    for (const auto& [pid, value] : after) {
        const auto earlier = before.find(pid);
        ticks += value - (earlier == before.end() ? 0 : earlier->second);
    }
    return ticks * 1000.0 / sysconf(_SC_CLK_TCK);
}

std::optional<pid_t> windowPid(Display* display, Window window)
{
    static const Atom property = XInternAtom(display, "_NET_WM_PID", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::optional<pid_t> pid;
    if (XGetWindowProperty(display, window, property, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data)
            == Success
        && data && count == 1 && format == 32)
        pid = static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data));
    if (data)
        XFree(data);
    return pid;
}

// Finds the window to watch: by title, or the largest one that a process of
// the tree owns. The process table is read again only when a window shows an
// owner that is not known yet, so looking stays cheap.
class WindowFinder {
public:
    WindowFinder(Display* display, const Options& options)
        : m_display(display)
        , m_options(options)
    {
    }

    std::optional<Window> find()
    {
        Window rootReturn, parent;
        Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(m_display, DefaultRootWindow(m_display), &rootReturn, &parent, &children, &count))
            return std::nullopt;
        std::optional<Window> found;
        long foundArea = 0;
        for (unsigned i = 0; i < count; ++i) {
            XWindowAttributes attributes;
            if (!XGetWindowAttributes(m_display, children[i], &attributes) || attributes.map_state != IsViewable
                || attributes.width <= 100)
                continue;
            const long area = long(attributes.width) * attributes.height;
            if (area > foundArea && matches(children[i])) {
                found = children[i];
                foundArea = area;
            }
        }
        if (children)
            XFree(children);
        return found;
    }

private:
    bool matches(Window window)
    {
        if (!m_options.anyTitle) {
            char* name = nullptr;
            bool same = false;
            if (XFetchName(m_display, window, &name) && name) {
                same = m_options.title == name;
                XFree(name);
            }
            return same;
        }
        const auto pid = windowPid(m_display, window);
        if (!pid)
            return false;
        if (!m_tree.count(*pid))
            m_tree = descendants(parents(), getpid());
        return m_tree.count(*pid) > 0;
    }

    Display* m_display;
    const Options& m_options;
    std::set<pid_t> m_tree;
};

// Counts pixels of three kinds below the window's top band (a menu bar),
// and how light the window is on the whole.
struct Ink {
    int grey = 0;
    int dark = 0;
    int white = 0;
    int light = 0;
    int total = 0;
    long long sum = 0;
};

Ink inkIn(XImage* image)
{
    Ink ink;
    const bool direct = image->bits_per_pixel == 32 && image->red_mask == 0xff0000 && image->green_mask == 0xff00
        && image->blue_mask == 0xff && image->byte_order == LSBFirst;
    for (int y = 30; y < image->height; y += 2) {
        const auto* row = reinterpret_cast<const uint32_t*>(image->data + size_t(y) * image->bytes_per_line);
        for (int x = 0; x < image->width; x += 2) {
            const unsigned long p = direct ? row[x] : XGetPixel(image, x, y);
            const int r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
            ++ink.total;
            ink.sum += r + g + b;
            if (r > 0xf8 && g > 0xf8 && b > 0xf8)
                ++ink.white;
            if (r >= 0xe0 && g >= 0xe0 && b >= 0xe0)
                ++ink.light;
            if (std::abs(r - g) < 6 && std::abs(g - b) < 6) {
                if (r >= 0x70 && r <= 0xa0)
                    ++ink.grey;
                else if (r < 0x40)
                    ++ink.dark;
            }
        }
    }
    return ink;
}

// Reads windows through shared memory when the server offers it: a window
// is megabytes, and copying it through the socket on every look would take
// the processor from the program being watched.
class Grabber {
public:
    explicit Grabber(Display* display)
        : m_display(display)
    {
        m_shm = XShmQueryExtension(display);
    }
    Grabber(const Grabber&) = delete;
    Grabber& operator=(const Grabber&) = delete;
    ~Grabber() { release(); }

    XImage* grab(Window window)
    {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(m_display, window, &attributes))
            return nullptr;
        if (!m_shm) {
            release();
            m_image = XGetImage(m_display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
            return m_image;
        }
        if (!m_image || m_image->width != attributes.width || m_image->height != attributes.height) {
            release();
            m_image = XShmCreateImage(m_display, attributes.visual, attributes.depth, ZPixmap, nullptr, &m_segment,
                attributes.width, attributes.height);
            if (!m_image)
                return nullptr;
            m_segment.shmid = shmget(IPC_PRIVATE, size_t(m_image->bytes_per_line) * m_image->height, IPC_CREAT | 0600);
            m_segment.shmaddr = m_image->data = static_cast<char*>(shmat(m_segment.shmid, nullptr, 0));
            m_segment.readOnly = False;
            XShmAttach(m_display, &m_segment);
            XSync(m_display, False);
            // Marked for removal now, so it goes with the last detach even if we die.
            shmctl(m_segment.shmid, IPC_RMID, nullptr);
            m_attached = true;
        }
        if (!XShmGetImage(m_display, window, m_image, 0, 0, AllPlanes))
            return nullptr;
        return m_image;
    }

private:
    void release()
    {
        if (m_attached) {
            XShmDetach(m_display, &m_segment);
            XSync(m_display, False);
            shmdt(m_segment.shmaddr);
            m_attached = false;
            m_image->data = nullptr;
        }
        if (m_image)
            XDestroyImage(m_image);
        m_image = nullptr;
    }

    Display* m_display;
    bool m_shm = false;
    bool m_attached = false;
    XShmSegmentInfo m_segment {};
    XImage* m_image = nullptr;
};

void writePpm(XImage* image, const std::string& path)
{
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out)
        return;
    std::fprintf(out, "P6\n%d %d\n255\n", image->width, image->height);
    std::vector<unsigned char> row(size_t(image->width) * 3);
    for (int y = 0; y < image->height; ++y) {
        for (int x = 0; x < image->width; ++x) {
            const unsigned long p = XGetPixel(image, x, y);
            row[x * 3] = (p >> 16) & 0xff;
            row[x * 3 + 1] = (p >> 8) & 0xff;
            row[x * 3 + 2] = p & 0xff;
        }
        std::fwrite(row.data(), 1, row.size(), out);
    }
    std::fclose(out);
}

// A window that goes away between finding it and reading it is not an error.
int ignoreXErrors(Display*, XErrorEvent*) { return 0; }

struct Events {
    std::optional<double> windowMs, paintMs, greyMs, darkMs, serverMs;
    bool exited = false;
};

bool operator==(const Ink& a, const Ink& b)
{
    return a.grey == b.grey && a.dark == b.dark && a.white == b.white && a.light == b.light && a.sum == b.sum;
}

// Keeps looking at the window while the program settles, more slowly, and
// returns when it last changed: the moment it first looked as it does now.
std::optional<double> settle(Display* display, const Options& options, Clock::time_point start, double from)
{
    const auto ms = [&] { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); };
    const double until = ms() + options.settle * 1000;
    WindowFinder finder(display, options);
    Grabber grabber(display);
    std::optional<Ink> last;
    std::optional<double> changed = from;
    while (ms() < until) {
        if (auto window = finder.find()) {
            const double seen = ms();
            if (XImage* image = grabber.grab(*window)) {
                const Ink ink = inkIn(image);
                if (last && !(ink == *last)) {
                    changed = seen;
                    if (options.trace)
                        std::fprintf(stderr, "%8.1f ms changed: mean %lld light %d white %d grey %d dark %d\n",
                            seen, ink.sum / (3 * ink.total), ink.light, ink.white, ink.grey, ink.dark);
                }
                last = ink;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return changed;
}

// Looks at the program's window until the awaited event, the program's end or the timeout.
Events watch(Display* display, const Options& options, pid_t child, Clock::time_point start)
{
    Events events;
    auto& [windowMs, paintMs, greyMs, darkMs, serverMs, exited] = events;
    const auto ms = [&] { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); };
    WindowFinder finder(display, options);
    Grabber grabber(display);
    double lastScan = -1000;
    bool reached = false;
    while (!reached && ms() < options.timeout * 1000) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            std::fprintf(stderr, "paint_probe: the program exited (status %d)\n", status);
            exited = true;
            return events;
        }
        if (!serverMs && !options.serverPid && ms() - lastScan > 25) {
            // The app's own server: a python process in its tree. Reading the
            // whole process table is dear, so not on every look.
            lastScan = ms();
            for (pid_t pid : descendants(parents(), child)) {
                if (comm(pid).rfind("python", 0) == 0)
                    serverMs = lastScan;
            }
        }
        if (auto window = finder.find()) {
            const double seen = ms();
            if (!windowMs)
                windowMs = seen;
            if (XImage* image = grabber.grab(*window)) {
                Ink ink = inkIn(image);
                if (options.trace)
                    std::fprintf(stderr, "%8.1f ms (look %.1f ms) mean %lld light %d white %d grey %d dark %d of %d\n",
                        seen, ms() - seen, ink.total ? ink.sum / (3 * ink.total) : 0, ink.light, ink.white, ink.grey,
                        ink.dark, ink.total);
                // Before its first paint a window is black (or holds whatever
                // was on the screen): it counts as painted once it is mostly
                // light, and text counts only on a painted window.
                const bool painted = ink.light * 2 >= ink.total;
                if (!painted)
                    ink = Ink {};
                if (!paintMs && painted) {
                    paintMs = seen;
                    if (!options.shots.empty())
                        writePpm(image, options.shots + "-paint.ppm");
                }
                if (!greyMs && ink.grey > 20)
                    greyMs = seen;
                if (!darkMs && ink.dark > 200) {
                    darkMs = seen;
                    if (!options.shots.empty())
                        writePpm(image, options.shots + "-dark.ppm");
                }
                reached = (options.until == "paint" && paintMs) || (options.until == "grey" && greyMs)
                    || (options.until == "dark" && darkMs);
            }
        }
        if (!reached)
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    return events;
}

bool parse(int argc, char** argv, Options& options, int& commandAt)
{
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--any-title")
            options.anyTitle = true;
        else if (arg == "--trace")
            options.trace = true;
        else if (arg == "--title" && hasValue)
            options.title = argv[++i];
        else if (arg == "--until" && hasValue)
            options.until = argv[++i];
        else if (arg == "--settle" && hasValue)
            options.settle = std::atof(argv[++i]);
        else if (arg == "--idle" && hasValue)
            options.idle = std::atof(argv[++i]);
        else if (arg == "--server-pid" && hasValue)
            options.serverPid = std::atoi(argv[++i]);
        else if (arg == "--timeout" && hasValue)
            options.timeout = std::atof(argv[++i]);
        else if (arg == "--shots" && hasValue)
            options.shots = argv[++i];
        else
            return false;
    }
    commandAt = i + 1;
    return commandAt < argc
        && (options.until == "paint" || options.until == "grey" || options.until == "dark");
}

// Stops the whole tree: politely first, then for good. As the subreaper the
// probe ends up the parent of every process of the tree, so the tree is gone
// when the probe has no children left; a process that is still tearing down
// (its main thread already a zombie, other threads still running, its
// window still up) is not gone until it can be reaped.
void stopTree(pid_t child)
{
    const auto reapAll = [] {
        while (true) {
            const pid_t reaped = waitpid(-1, nullptr, WNOHANG);
            if (reaped > 0)
                continue;
            return reaped < 0 && errno == ECHILD;
        }
    };
    kill(-child, SIGTERM);
    for (pid_t pid : descendants(parents(), getpid()))
        kill(pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (reapAll())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "paint_probe: the program did not stop on SIGTERM within 10 s; killing it\n");
    kill(-child, SIGKILL);
    for (pid_t pid : descendants(parents(), getpid()))
        kill(pid, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) { }
}

std::string show(const std::optional<double>& v) { return v ? std::to_string(*v) : std::string("null"); }

} // namespace

int main(int argc, char** argv)
{
    Options options;
    int commandAt = 0;
    if (!parse(argc, argv, options, commandAt)) {
        std::fprintf(stderr,
            "usage: paint_probe [--title TEXT | --any-title] [--until paint|grey|dark] [--settle S] [--idle S]\n"
            "                   [--server-pid PID] [--timeout S] [--shots PREFIX] [--trace] -- program args...\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "paint_probe: no display\n");
        return 2;
    }
    XSetErrorHandler(ignoreXErrors);
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        execv(argv[commandAt], argv + commandAt);
        _exit(127);
    }
    const Events events = watch(display, options, child, start);
    if (events.exited) {
        stopTree(child);
        return 1;
    }
    std::optional<double> completeMs;
    if (options.settle > 0 && events.darkMs)
        completeMs = settle(display, options, start, *events.darkMs);
    else if (options.settle > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(options.settle));

    const Tree tree = treeOf(child, options.serverPid);
    const long ownRss = rssKiB(child);
    const long ownPss = pssKiB(child);

    std::optional<double> cpuMs, serverCpuMs;
    if (options.idle > 0) {
        std::set<pid_t> ui = tree.helpers.pids;
        ui.insert(child);
        const auto uiBefore = cpuOf(ui);
        const auto serverBefore = cpuOf(tree.server.pids);
        std::this_thread::sleep_for(std::chrono::duration<double>(options.idle));
        const Tree later = treeOf(child, options.serverPid);
        std::set<pid_t> uiLater = later.helpers.pids;
        uiLater.insert(child);
        cpuMs = cpuMsBetween(uiBefore, cpuOf(uiLater));
        serverCpuMs = cpuMsBetween(serverBefore, cpuOf(later.server.pids));
    }

    std::string names = comm(child);
    for (const auto* group : { &tree.helpers.pids, &tree.server.pids }) {
        for (pid_t pid : *group)
            names.append(" ").append(comm(pid));
    }

    stopTree(child);
    // The server's own trace (bench/server_trace) is in CLOCK_MONOTONIC
    // seconds, the clock of steady_clock here: this puts it on our time line.
    const double startSeconds = std::chrono::duration<double>(start.time_since_epoch()).count();
    std::printf("{\"start_monotonic_s\": %.6f, \"window_ms\": %s, \"paint_ms\": %s, \"grey_ms\": %s, \"dark_ms\": %s, \"complete_ms\": %s, \"server_spawn_ms\": %s, "
                "\"rss_kib\": %ld, \"helpers_rss_kib\": %ld, \"server_rss_kib\": %ld, "
                "\"pss_kib\": %ld, \"helpers_pss_kib\": %ld, \"server_pss_kib\": %ld, "
                "\"processes\": %zu, \"server_processes\": %zu, \"idle_cpu_ms\": %s, \"server_idle_cpu_ms\": %s, "
                "\"names\": \"%s\"}\n",
        startSeconds, show(events.windowMs).c_str(), show(events.paintMs).c_str(), show(events.greyMs).c_str(), show(events.darkMs).c_str(),
        show(completeMs).c_str(),
        show(events.serverMs).c_str(), ownRss, tree.helpers.rss, tree.server.rss, ownPss, tree.helpers.pss, tree.server.pss,
        tree.helpers.pids.size() + 1, tree.server.pids.size(), show(cpuMs).c_str(), show(serverCpuMs).c_str(), names.c_str());
    XCloseDisplay(display);
    return 0;
}
