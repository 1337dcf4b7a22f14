#include "platform/dispatch.h"
#include "platform/task.h"
#include "support/recording_task.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace sv {
namespace {

using platform::Task;
using namespace std::chrono_literals;

// Counts live instances, so a test can tell that a coroutine frame (which
// holds one as a local or parameter) has been freed.
struct Alive {
    explicit Alive(int& count) : count_(&count) { ++*count_; }
    Alive(const Alive& other) : count_(other.count_) { ++*count_; }
    ~Alive() { --*count_; }
    int* count_;
};

Task<int> answerOnWorker(std::vector<bool>& onMain)
{
    onMain.push_back(platform::isMainThread());
    std::thread::id worker;
    const int value = co_await platform::onWorker([&worker] {
        worker = std::this_thread::get_id();
        return 41;
    });
    onMain.push_back(platform::isMainThread());
    EXPECT_NE(worker, std::this_thread::get_id());
    co_return value + 1;
}

Task<std::string> nested(std::vector<bool>& onMain)
{
    const int inner = co_await answerOnWorker(onMain);
    onMain.push_back(platform::isMainThread());
    co_return "got " + std::to_string(inner);
}

TEST(Task, RunsOnTheMainThreadAndComesBackThereFromAWorker)
{
    std::vector<bool> onMain;
    auto record = test::runTask(nested(onMain));
    ASSERT_TRUE(record->done);
    ASSERT_FALSE(record->error);
    EXPECT_EQ(record->value, "got 42");
    EXPECT_EQ(onMain, (std::vector<bool> { true, true, true }));
}

Task<int> throwsAfterSuspending(int& alive)
{
    Alive guard(alive);
    co_await platform::sleepFor(0);
    throw std::runtime_error("feed went away");
}

Task<int> rethrowsFromBelow(int& alive)
{
    Alive guard(alive);
    const int value = co_await throwsAfterSuspending(alive);
    co_return value; // never reached
}

TEST(Task, ExceptionsReachTheAwaiterThroughEveryLevel)
{
    int alive = 0;
    auto record = test::runTask(rethrowsFromBelow(alive));
    ASSERT_TRUE(record->done);
    ASSERT_TRUE(record->error);
    EXPECT_THROW(std::rethrow_exception(record->error), std::runtime_error);
    EXPECT_EQ(alive, 0) << "both frames are freed after the exception";
}

TEST(Task, ExceptionsOfTheBlockingWorkReachTheAwaiter)
{
    auto task = []() -> Task<int> {
        co_return co_await platform::onWorker([]() -> int { throw std::invalid_argument("bad"); });
    };
    auto record = test::runTask(task());
    ASSERT_TRUE(record->error);
    EXPECT_THROW(std::rethrow_exception(record->error), std::invalid_argument);
}

Task<void> recordRun(bool& ran, Alive)
{
    ran = true;
    co_return;
}

TEST(Task, ALazyTaskNeverAwaitedNeverRunsAndIsFreed)
{
    int alive = 0;
    bool ran = false;
    {
        auto task = recordRun(ran, Alive(alive));
        EXPECT_EQ(alive, 1);
    }
    EXPECT_FALSE(ran);
    EXPECT_EQ(alive, 0);
}

TEST(Task, MovingKeepsOneOwner)
{
    int alive = 0;
    bool ran = false;
    auto first = recordRun(ran, Alive(alive));
    auto second = recordRun(ran, Alive(alive));
    EXPECT_EQ(alive, 2);
    first = std::move(second); // the frame first held is freed unrun
    EXPECT_EQ(alive, 1);
    auto record = test::runTask(std::move(first));
    EXPECT_TRUE(record->done);
    EXPECT_TRUE(ran);
    EXPECT_EQ(alive, 0);
}

TEST(Task, DetachedStartsLaterOnTheMainLoopAndFreesItself)
{
    int alive = 0;
    bool ran = false;
    platform::startDetached(recordRun(ran, Alive(alive)));
    EXPECT_FALSE(ran) << "the caller returns before the task starts";
    EXPECT_EQ(alive, 1);
    EXPECT_TRUE(test::waitFor([&] { return ran && alive == 0; }));
}

Task<void> throwDetached(int& alive, bool& reached)
{
    Alive guard(alive);
    co_await platform::sleepFor(0);
    reached = true;
    throw std::logic_error("nobody is listening");
}

TEST(Task, ADetachedTaskThatThrowsIsStillFreed)
{
    int alive = 0;
    bool reached = false;
    platform::startDetached(throwDetached(alive, reached));
    EXPECT_TRUE(test::waitFor([&] { return reached && alive == 0; }));
}

Task<void> sleepThenNote(double seconds, std::vector<int>& order, int tag)
{
    co_await platform::sleepFor(seconds);
    EXPECT_TRUE(platform::isMainThread());
    order.push_back(tag);
}

Task<std::string> askTwice(std::function<void(std::function<void(bool)>)> ask, std::vector<std::string>& steps)
{
    steps.push_back(co_await platform::answerOf<bool>(ask) ? "first yes" : "first no");
    const bool second = co_await platform::answerOf<bool>(ask);
    steps.push_back(std::string(second ? "second yes" : "second no") + (platform::isMainThread() ? " on main" : " elsewhere"));
    co_return "done";
}

TEST(Task, AnAnswerGivenAtOnceGoesOnWithoutWaitingAndALaterOneResumesOnTheMainThread)
{
    // The first question is answered before the asker returns; the second
    // is held, as a person's answer would be.
    std::vector<std::function<void(bool)>> held;
    std::vector<std::string> steps;
    const auto ask = [&](std::function<void(bool)> answer) {
        steps.push_back("asked");
        if (steps.size() == 1)
            answer(true);
        else
            held.push_back(std::move(answer));
    };
    auto record = test::startRecorded(askTwice(ask, steps));
    ASSERT_TRUE(test::waitFor([&] { return !held.empty(); }));
    EXPECT_EQ(steps, (std::vector<std::string> { "asked", "first yes", "asked" }));
    EXPECT_FALSE(record->done);

    // Answered twice: the task goes on later, not inside the answerer's
    // call, with the first answer.
    held[0](false);
    held[0](true);
    EXPECT_FALSE(record->done);
    ASSERT_TRUE(test::waitFor([&] { return record->done; }));
    EXPECT_EQ(record->value, "done");
    EXPECT_EQ(steps, (std::vector<std::string> { "asked", "first yes", "asked", "second no on main" }));
}

TEST(Task, SleepsResumeAfterTheirDelayInDeadlineOrder)
{
    std::vector<int> order;
    const auto started = std::chrono::steady_clock::now();
    platform::startDetached(sleepThenNote(0.3, order, 2));
    platform::startDetached(sleepThenNote(0.1, order, 1));
    ASSERT_TRUE(test::waitFor([&] { return order.size() == 2; }));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
    EXPECT_EQ(order, (std::vector<int> { 1, 2 }));
}

TEST(Task, ManyTasksWaitingOnWorkersAllComeBack)
{
    constexpr int count = 64;
    std::atomic<int> working { 0 };
    std::atomic<int> mostAtOnce { 0 };
    int finished = 0;
    int sum = 0;
    for (int i = 0; i < count; ++i) {
        platform::startDetached([](int i, std::atomic<int>& working, std::atomic<int>& mostAtOnce, int& finished,
                                    int& sum) -> Task<void> {
            const int value = co_await platform::onWorker([i, &working, &mostAtOnce] {
                const int now = ++working;
                int seen = mostAtOnce.load();
                while (now > seen && !mostAtOnce.compare_exchange_weak(seen, now)) { }
                std::this_thread::sleep_for(20ms); // stands in for a slow request
                --working;
                return i;
            });
            // Main-thread state: no lock, because every resumption is on the main thread.
            EXPECT_TRUE(platform::isMainThread());
            sum += value;
            ++finished;
        }(i, working, mostAtOnce, finished, sum));
    }
    ASSERT_TRUE(test::waitFor([&] { return finished == count; }));
    EXPECT_EQ(sum, count * (count - 1) / 2);
    EXPECT_GT(mostAtOnce.load(), 1) << "blocking work runs side by side, not one after another";
    EXPECT_LE(mostAtOnce.load(), platform::globalWorkers);
}

TEST(Task, BlockedWorkersHoldUpTheQueuedItemsButNeverAProbe)
{
    // Items that block until the gate opens, three times as many as there
    // are workers: the rest wait their turn, and none is lost.
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    std::atomic<int> running { 0 };
    std::atomic<int> mostAtOnce { 0 };
    std::atomic<int> done { 0 };
    constexpr int items = 3 * platform::globalWorkers;
    // Opens the gate on every way out of the test: no worker may be left
    // waiting on this frame.
    const auto release = [&] {
        {
            const std::lock_guard lock(mutex);
            open = true;
        }
        opened.notify_all();
        return test::waitFor([&] { return done == items; });
    };
    struct AtEnd {
        const std::function<bool()> run;
        ~AtEnd() { (void)run(); }
    } atEnd { release };
    for (int i = 0; i < items; ++i) {
        platform::globalAsync([&] {
            const int now = ++running;
            int seen = mostAtOnce.load();
            while (now > seen && !mostAtOnce.compare_exchange_weak(seen, now)) { }
            std::unique_lock lock(mutex);
            opened.wait(lock, [&] { return open; });
            --running;
            ++done;
        });
    }
    ASSERT_TRUE(test::waitFor([&] { return running >= platform::globalWorkers; }));
    EXPECT_FALSE(test::waitFor([&] { return running > platform::globalWorkers; }, 200ms));

    // Every worker is held; a probe and the pause after it still run at once.
    std::atomic<int> probes { 0 };
    platform::probeAsync([&] {
        ++probes;
        platform::probeAsync([&] { ++probes; });
    });
    EXPECT_TRUE(test::waitFor([&] { return probes == 2; }));
    EXPECT_EQ(done, 0);

    ASSERT_TRUE(release());
    EXPECT_EQ(mostAtOnce, platform::globalWorkers);
}

} // namespace
} // namespace sv
