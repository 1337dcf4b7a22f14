#pragma once
// Runs a Task to its end from a test: the task is started detached on the
// main loop, and its outcome (value or exception) is recorded in a shared
// record that outlives the test's wait, so a task that overruns the wait
// still has somewhere to put its result.

#include "platform/task.h"
#include "support/wait.h"

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>

namespace sv::test {

template <typename T>
struct TaskRecord {
    bool done = false;
    std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> value {};
    std::exception_ptr error;
};

template <typename T>
std::shared_ptr<TaskRecord<T>> startRecorded(platform::Task<T> task)
{
    auto record = std::make_shared<TaskRecord<T>>();
    platform::startDetached(
        [](platform::Task<T> inner, std::shared_ptr<TaskRecord<T>> out) -> platform::Task<void> {
            try {
                if constexpr (std::is_void_v<T>) {
                    co_await inner;
                    out->value = true;
                } else {
                    out->value.emplace(co_await inner);
                }
            } catch (...) {
                out->error = std::current_exception();
            }
            out->done = true;
        }(std::move(task), record));
    return record;
}

// Starts the task and runs the main loop until it has ended (or the timeout passed).
template <typename T>
std::shared_ptr<TaskRecord<T>> runTask(platform::Task<T> task,
    std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    auto record = startRecorded(std::move(task));
    waitFor([&] { return record->done; }, timeout);
    return record;
}

} // namespace sv::test
