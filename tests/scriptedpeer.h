#pragma once
// The other end of an in-memory connection, answering by a script: records every
// request it receives and answers with what the script returns (nothing: no answer).
#include <condition_variable>
#include <functional>
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

    explicit ScriptedPeer(Script script = {}) : script_(std::move(script)) {
        auto [app, peer] = Platform::AppServiceConnection::CreateInMemoryPair(L"svc", L"test.pfn");
        app_ = app;
        peer_ = peer;
        peer_.RequestReceived([this](const Platform::AppServiceConnection&,
                                     const Platform::AppServiceRequestReceivedEventArgs& args) {
            const auto message = args.Request().Message();
            int index;
            Script script;
            {
                std::lock_guard g(m_);
                index = static_cast<int>(received_.size());
                received_.push_back(message);
                script = script_;
            }
            cv_.notify_all();
            if (!script) return;
            auto deferral = args.GetDeferral();
            if (auto answer = script(message, index)) args.Request().SendResponseAsync(*answer);
            deferral.Complete();
        });
    }

    void setScript(Script s) {
        std::lock_guard g(m_);
        script_ = std::move(s);
    }
    const Platform::AppServiceConnection& appSide() const { return app_; }
    const Platform::AppServiceConnection& peerSide() const { return peer_; }

    std::size_t count() {
        std::lock_guard g(m_);
        return received_.size();
    }
    Platform::ValueSet request(std::size_t i) {
        std::lock_guard g(m_);
        return received_.at(i);
    }
    bool waitForCount(std::size_t n,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
        std::unique_lock lk(m_);
        return cv_.wait_for(lk, limit, [&] { return received_.size() >= n; });
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Platform::ValueSet> received_;
    Script script_;
    Platform::AppServiceConnection app_{nullptr};
    Platform::AppServiceConnection peer_{nullptr};
};

inline Platform::ValueSet responseWith(int32_t value) {
    Platform::ValueSet v;
    v.Insert(L"response", value);
    return v;
}

}  // namespace TestSupport
