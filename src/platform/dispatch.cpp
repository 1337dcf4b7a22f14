#include "platform/dispatch.h"

#include <glib.h>
#include <glib-unix.h>

#include <memory>
#include <thread>

namespace sv::platform {
namespace {

// Static initialisation runs on the thread that later enters main().
const std::thread::id mainThreadId = std::this_thread::get_id();

struct Call {
    std::function<void()> fn;
};

gboolean runCall(gpointer data)
{
    static_cast<Call*>(data)->fn();
    return G_SOURCE_REMOVE;
}

gboolean runCallOnce(gint, GIOCondition, gpointer data)
{
    static_cast<Call*>(data)->fn();
    return G_SOURCE_REMOVE;
}

void deleteCall(gpointer data) { delete static_cast<Call*>(data); }

void attach(GSource* source, std::function<void()> fn)
{
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, runCall, new Call { std::move(fn) }, deleteCall);
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
}

void runPooled(gpointer data, gpointer)
{
    std::unique_ptr<Call> call(static_cast<Call*>(data));
    call->fn();
}

// Fixed sizes, so that no burst of work makes a thread for each item. At
// most these run on the global queue at once: the start-up task (minutes on
// a first start), the launcher entry's write, one step of an install (the
// download takes minutes) and the feed checks a user starts (up to 20
// seconds each). Four workers let the long ones run side by side with one
// to spare; whatever comes beyond waits, which only delays it.
GThreadPool* workerPool()
{
    static GThreadPool* pool = g_thread_pool_new(runPooled, nullptr, globalWorkers, FALSE, nullptr);
    return pool;
}

// The probes of a launch and the pauses between them follow each other, one
// at a time, each over within about a second; a second worker lets another
// chain (a page reloaded meanwhile) go on without waiting for the first.
GThreadPool* probePool()
{
    constexpr int probeWorkers = 2;
    static GThreadPool* pool = g_thread_pool_new(runPooled, nullptr, probeWorkers, FALSE, nullptr);
    return pool;
}

} // namespace

void mainAsync(std::function<void()> fn)
{
    // An idle source at default priority keeps FIFO order with other such
    // calls, so status lines always arrive before the step posted after them.
    attach(g_idle_source_new(), std::move(fn));
}

void mainAfter(double seconds, std::function<void()> fn)
{
    const auto ms = seconds <= 0 ? 0u : static_cast<guint>(seconds * 1000.0 + 0.5);
    attach(g_timeout_source_new(ms), std::move(fn));
}

void whenReadable(int fd, std::function<void()> fn)
{
    GSource* source = g_unix_fd_source_new(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, G_SOURCE_FUNC(runCallOnce), new Call { std::move(fn) }, deleteCall);
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
}

void globalAsync(std::function<void()> fn)
{
    g_thread_pool_push(workerPool(), new Call { std::move(fn) }, nullptr);
}

void probeAsync(std::function<void()> fn)
{
    g_thread_pool_push(probePool(), new Call { std::move(fn) }, nullptr);
}

bool isMainThread() { return std::this_thread::get_id() == mainThreadId; }

bool iterateMainUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    GMainContext* context = g_main_context_default();
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        // Worker threads may change what done() looks at without waking the
        // context, so never block for long in one iteration.
        GSource* tick = g_timeout_source_new(10);
        g_source_set_callback(tick, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(tick, context);
        g_main_context_iteration(context, TRUE);
        g_source_destroy(tick);
        g_source_unref(tick);
    }
    return true;
}

} // namespace sv::platform
