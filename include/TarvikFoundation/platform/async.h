#pragma once
#include <functional>
#include <memory>
#include <mutex>

#include <TarvikFoundation/platform/task.h>

namespace Platform {

/// How far an asynchronous operation has come.
enum class AsyncStatus { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

/// Asynchronous operations and actions handed to the host: wait with get(), attach a
/// Completed handler, or co_await. Made from a task and a cancellation source.
template <class T>
class IAsyncOperation {
  public:
    /// Receives the operation and how it ended.
    using CompletedHandler = std::function<void(const IAsyncOperation<T>&, AsyncStatus)>;

    IAsyncOperation() = default;
    /// A null operation.
    IAsyncOperation(std::nullptr_t) {}
    /// Whether this is an operation, not null.
    explicit operator bool() const noexcept { return impl_ != nullptr; }

    /// Builds the operation from a factory that receives the operation's cancellation token.
    template <class F>
    static IAsyncOperation create(F&& make_task) {
        IAsyncOperation op;
        op.impl_ = std::make_shared<Impl>(cancellation_token_source{});
        op.impl_->work = make_task(op.impl_->source.get_token());
        return op;
    }
    /// Without a source, Cancel() has nothing to reach: the task was made without a token.
    static IAsyncOperation from_task(
        task<T> t, cancellation_token_source source = cancellation_token_source::none()) {
        IAsyncOperation op;
        op.impl_ = std::make_shared<Impl>(std::move(source));
        op.impl_->work = std::move(t);
        return op;
    }

    /// Started while running, then Completed, Canceled or Error.
    AsyncStatus Status() const {
        switch (impl_->work.status()) {
            case task_status::pending:
                return AsyncStatus::Started;
            case task_status::completed:
                return AsyncStatus::Completed;
            case task_status::canceled:
                return AsyncStatus::Canceled;
            case task_status::error:
                return AsyncStatus::Error;
        }
        return AsyncStatus::Error;
    }
    /// The error's code once the operation failed; 0 otherwise.
    hresult ErrorCode() const {
        if (impl_->work.status() != task_status::error) return 0;
        return to_hresult(impl_->work.state()->error);
    }
    /// Asks the operation to stop; it may still complete.
    void Cancel() const { impl_->source.cancel(); }
    /// Blocks until the operation ends; returns its result or raises its error.
    T get() const { return impl_->work.get(); }
    /// Result of a completed operation; raises when it is not (yet) completed.
    T GetResults() const {
        if (Status() == AsyncStatus::Started) throw hresult_illegal_state_change();
        return impl_->work.get();
    }
    /// The handler runs once on a pool thread when the operation ends (at once when
    /// it already has). A second assignment raises hresult_illegal_state_change.
    void Completed(CompletedHandler handler) const {
        {
            std::lock_guard g(impl_->m);
            if (impl_->handler_set) throw hresult_illegal_state_change();
            impl_->handler_set = true;
        }
        auto self = *this;
        // Runs once: the handler moves on to the pool instead of being copied there.
        impl_->work.state()->on_done([self, handler = std::move(handler)]() mutable {
            ThreadPool::instance().post([self = std::move(self), handler = std::move(handler)] {
                handler(self, self.Status());
            });
        });
    }
    /// The underlying task.
    const task<T>& as_task() const { return impl_->work; }
    /// co_await gives the result or raises the error.
    auto operator co_await() const noexcept { return impl_->work.operator co_await(); }

  private:
    struct Impl {
        // Takes the source in: a default one would make a cancellation state only to drop it.
        explicit Impl(cancellation_token_source s) : source(std::move(s)) {}
        cancellation_token_source source;
        Platform::task<T> work;
        std::mutex m;
        bool handler_set = false;
    };
    std::shared_ptr<Impl> impl_;
};

/// An asynchronous operation without a result.
using IAsyncAction = IAsyncOperation<void>;

}  // namespace Platform
