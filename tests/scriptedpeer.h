#pragma once
// The other end of an in-memory connection, answering by a script: records every
// request it receives and answers with what the script returns (nothing: no answer).
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <TarvikFoundation/platform/appserviceconnection.h>

#include "testsupport.h"

namespace TestSupport {

class ScriptedPeer {
  public:
    using Script = std::function<std::optional<Platform::ValueSet>(
        const Platform::ValueSet& request, int index)>;

    explicit ScriptedPeer(Script script = {}) : state_(std::make_shared<State>()) {
        state_->script = std::move(script);
        auto [app, peer] = Platform::AppServiceConnection::CreateInMemoryPair(L"svc", L"test.pfn");
        app_ = app;
        peer_ = peer;
        // The handler holds the state, not the peer: a request still being handled when
        // the test (and its peer) has ended must find it.
        peer_.RequestReceived(
            [state = state_](const Platform::AppServiceConnection&,
                             const Platform::AppServiceRequestReceivedEventArgs& args) {
                const auto message = args.Request().Message();
                int index;
                Script script;
                {
                    std::lock_guard g(state->m);
                    index = static_cast<int>(state->received.size());
                    state->received.push_back(message);
                    script = state->script;
                }
                state->cv.notify_all();
                if (!script) return;
                auto deferral = args.GetDeferral();
                if (auto answer = script(message, index)) args.Request().SendResponseAsync(*answer);
                deferral.Complete();
            });
    }

    void setScript(Script s) {
        std::lock_guard g(state_->m);
        state_->script = std::move(s);
    }
    const Platform::AppServiceConnection& appSide() const { return app_; }
    const Platform::AppServiceConnection& peerSide() const { return peer_; }

    std::size_t count() {
        std::lock_guard g(state_->m);
        return state_->received.size();
    }
    Platform::ValueSet request(std::size_t i) {
        std::lock_guard g(state_->m);
        return state_->received.at(i);
    }
    bool waitForCount(std::size_t n,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
        std::unique_lock lk(state_->m);
        return state_->cv.wait_for(lk, limit, [&] { return state_->received.size() >= n; });
    }

  private:
    struct State {
        std::mutex m;
        std::condition_variable cv;
        std::vector<Platform::ValueSet> received;
        Script script;
    };
    std::shared_ptr<State> state_;
    Platform::AppServiceConnection app_{nullptr};
    Platform::AppServiceConnection peer_{nullptr};
};

inline Platform::ValueSet responseWith(int32_t value) {
    Platform::ValueSet v;
    v.Insert(L"response", value);
    return v;
}

}  // namespace TestSupport
