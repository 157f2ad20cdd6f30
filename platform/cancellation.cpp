#include <TarvikFoundation/platform/cancellation.h>

namespace Platform {
namespace detail {

void cancellation_state::cancel() {
    std::unique_lock lk(m);
    if (canceled.exchange(true, std::memory_order_acq_rel)) return;
    while (!callbacks.empty()) {
        auto it = callbacks.begin();
        {
            auto fn = std::move(it->second);
            running_id = it->first;
            running_thread = std::this_thread::get_id();
            callbacks.erase(it);
            lk.unlock();
            try {
                fn();
            } catch (...) {
            }
            // fn (and what it owns) is released before the lock is taken again.
        }
        lk.lock();
        running_id = 0;
        cv.notify_all();
    }
}

uint64_t cancellation_state::add(std::function<void()> fn) {
    std::unique_lock lk(m);
    if (canceled.load(std::memory_order_acquire)) {
        lk.unlock();
        fn();
        return 0;
    }
    const uint64_t id = next_id++;
    callbacks.emplace(id, std::move(fn));
    return id;
}

void cancellation_state::remove(uint64_t id) {
    std::unique_lock lk(m);
    callbacks.erase(id);
    if (running_thread != std::this_thread::get_id()) cv.wait(lk, [&] { return running_id != id; });
}

}  // namespace detail

cancellation_registration cancellation_token::register_callback(std::function<void()> fn) const {
    if (!state_) return {};
    const uint64_t id = state_->add(std::move(fn));
    if (id == 0) return {};
    return cancellation_registration(state_, id);
}

}  // namespace Platform
