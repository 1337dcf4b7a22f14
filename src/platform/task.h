#pragma once
// Asynchronous work bound to the main thread, as C++20 coroutines.
//
// A Task starts on the main thread and every resumption happens there: the
// awaitables below hand blocking work to a worker and come back through the
// main queue, and a sleep is a main-queue timer. So updater state that only
// tasks touch needs no lock.
//
// A Task is lazy. It runs when awaited (on the awaiting coroutine's thread,
// which is the main thread) or when handed to startDetached(). An exception
// that escapes a task's body is rethrown to whoever awaits it.

#include "platform/dispatch.h"

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace sv::platform {

template <typename T = void>
class Task;

namespace detail {

class PromiseBase {
public:
    std::suspend_always initial_suspend() const noexcept { return {}; }

    struct FinalAwaiter {
        bool await_ready() const noexcept { return false; }
        template <typename Promise>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) const noexcept
        {
            PromiseBase& promise = self.promise();
            if (promise.continuation_)
                return promise.continuation_;
            // Nobody holds a detached task's handle, so it frees itself.
            // Whatever it threw has no one to go to and is dropped with it.
            if (promise.detached_)
                self.destroy();
            return std::noop_coroutine();
        }
        void await_resume() const noexcept {}
    };
    FinalAwaiter final_suspend() const noexcept { return {}; }

    void unhandled_exception() noexcept { exception_ = std::current_exception(); }

    std::coroutine_handle<> continuation_;
    std::exception_ptr exception_;
    bool detached_ = false;

protected:
    void rethrowIfFailed() const
    {
        if (exception_)
            std::rethrow_exception(exception_);
    }
};

template <typename T>
class Promise final : public PromiseBase {
public:
    Task<T> get_return_object() noexcept;
    template <typename U>
    void return_value(U&& value)
    {
        value_.emplace(std::forward<U>(value));
    }
    T take()
    {
        rethrowIfFailed();
        return std::move(*value_);
    }

private:
    std::optional<T> value_;
};

template <>
class Promise<void> final : public PromiseBase {
public:
    Task<void> get_return_object() noexcept;
    void return_void() const noexcept {}
    void take() const { rethrowIfFailed(); }
};

} // namespace detail

template <typename T>
class [[nodiscard]] Task {
public:
    using promise_type = detail::Promise<T>;
    using Handle = std::coroutine_handle<promise_type>;

    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&& other) noexcept
    {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    // A task that was never started is destroyed unrun; one that was awaited
    // has finished by the time its awaiter goes on, so its frame goes here.
    ~Task() { reset(); }

    struct Awaiter {
        Handle handle;
        bool await_ready() const noexcept { return handle.done(); }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) const noexcept
        {
            handle.promise().continuation_ = awaiting;
            return handle; // start (or go on with) the awaited task right here
        }
        T await_resume() const { return handle.promise().take(); }
    };
    Awaiter operator co_await() const noexcept { return Awaiter { handle_ }; }

    // Hands the frame over; the caller becomes responsible for it.
    Handle release() noexcept { return std::exchange(handle_, {}); }

private:
    friend class detail::Promise<T>;
    explicit Task(Handle handle) noexcept : handle_(handle) {}
    void reset() noexcept
    {
        if (handle_)
            std::exchange(handle_, {}).destroy();
    }

    Handle handle_;
};

namespace detail {

template <typename T>
Task<T> Promise<T>::get_return_object() noexcept
{
    return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}

inline Task<void> Promise<void>::get_return_object() noexcept
{
    return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}

} // namespace detail

// Starts the task on the main thread, later, and forgets it: no handle is
// kept and the caller returns at once. The task frees itself when it ends.
// Callable from any thread.
inline void startDetached(Task<void> task)
{
    auto handle = task.release();
    handle.promise().detached_ = true;
    mainAsync([handle] { handle.resume(); });
}

// Awaits fn() run on a worker thread; the awaiting task resumes on the main
// thread with fn's result, or with fn's exception rethrown.
template <typename Fn>
class WorkerAwaitable {
public:
    using Result = std::invoke_result_t<Fn&>;
    static_assert(!std::is_void_v<Result> && !std::is_reference_v<Result>,
        "blocking work hands back a value");

    explicit WorkerAwaitable(Fn fn) : fn_(std::move(fn)) {}

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> awaiting)
    {
        // This object lives in the suspended task's frame until the task
        // resumes, and the task resumes only after the worker is done with it.
        globalAsync([this, awaiting] {
            try {
                result_.emplace(fn_());
            } catch (...) {
                error_ = std::current_exception();
            }
            mainAsync([awaiting] { awaiting.resume(); });
        });
    }
    Result await_resume()
    {
        if (error_)
            std::rethrow_exception(error_);
        return std::move(*result_);
    }

private:
    Fn fn_;
    std::optional<Result> result_;
    std::exception_ptr error_;
};

template <typename Fn>
[[nodiscard]] WorkerAwaitable<Fn> onWorker(Fn fn)
{
    return WorkerAwaitable<Fn>(std::move(fn));
}

// Suspends the awaiting task for the given number of seconds; it resumes on
// the main thread. Not cancellable: the sleep always runs to its end.
class SleepAwaitable {
public:
    explicit SleepAwaitable(double seconds) : seconds_(seconds) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> awaiting) const
    {
        mainAfter(seconds_, [awaiting] { awaiting.resume(); });
    }
    void await_resume() const noexcept {}

private:
    double seconds_;
};

[[nodiscard]] inline SleepAwaitable sleepFor(double seconds) { return SleepAwaitable(seconds); }

// Awaits the answer that `ask` hands to the callback it is given: at once,
// before `ask` returns (the task then goes on without suspending), or later
// on the main thread (it resumes through the main queue, out of the
// answerer's call). The first answer counts; a callback that is never called
// leaves the task waiting.
template <typename T>
class AnswerAwaitable {
public:
    using Ask = std::function<void(std::function<void(T)>)>;

    explicit AnswerAwaitable(Ask ask) : ask_(std::move(ask)) {}
    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> awaiting)
    {
        state_ = std::make_shared<State>();
        ask_([state = state_](T value) {
            if (state->answer)
                return;
            state->answer.emplace(std::move(value));
            if (state->awaiting)
                mainAsync([awaiting = state->awaiting] { awaiting.resume(); });
        });
        if (state_->answer)
            return false;
        state_->awaiting = awaiting;
        return true;
    }
    T await_resume() { return std::move(*state_->answer); }

private:
    struct State {
        std::optional<T> answer;
        std::coroutine_handle<> awaiting;
    };
    Ask ask_;
    std::shared_ptr<State> state_;
};

template <typename T>
[[nodiscard]] AnswerAwaitable<T> answerOf(typename AnswerAwaitable<T>::Ask ask)
{
    return AnswerAwaitable<T>(std::move(ask));
}

} // namespace sv::platform
