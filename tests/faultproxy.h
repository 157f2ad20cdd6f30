#pragma once
// A man in the middle between the application's channel and a real helper: each
// attempt of a request is forwarded, duplicated, answered late, lost or answered with
// a mangled message, as the test's policy says.
#include <map>
#include <mutex>

#include <TarvikFoundation/platform/appserviceconnection.h>
#include <TarvikFoundation/platform/clock.h>

#include "common/messageschema.h"

namespace TestSupport {

class FaultProxy {
  public:
    enum class Action {
        Forward,
        ForwardTwice,  // both copies reach the helper at once; the app gets one answer
        Delay,         // the answer comes later than the first back-off
        Lose,          // the helper runs it, the answer never reaches the application
        WrongTypes,    // "response" and the result hold the wrong types
        NoKeys,        // an answer without "response" and without the result
    };
    using Policy = std::function<Action(int attempt)>;

    FaultProxy(Platform::AppServiceConnection helper, Policy policy)
        : helper_(std::move(helper)), policy_(std::move(policy)) {
        auto [app, proxy] = Platform::AppServiceConnection::CreateInMemoryPair(L"svc");
        app_ = app;
        proxy_ = proxy;
        proxy_.RequestReceived(
            [this](const Platform::AppServiceConnection&,
                   const Platform::AppServiceRequestReceivedEventArgs& args) { onRequest(args); });
    }
    ~FaultProxy() {
        proxy_.Close();
        app_.Close();
    }
    const Platform::AppServiceConnection& appSide() const { return app_; }

  private:
    void onRequest(const Platform::AppServiceRequestReceivedEventArgs& args) {
        const Platform::ValueSet request = args.Request().Message();
        const auto id = request.TryLookupAs<uint64_t>(L"commandId").value_or(0);
        int attempt;
        {
            std::lock_guard g(m_);
            attempt = attempts_[id]++;
        }
        const Action action = policy_(attempt);
        auto deferral = args.GetDeferral();
        auto reply = [args, deferral, action](const Platform::ValueSet& answer) {
            switch (action) {
                case Action::Lose:
                    break;  // the deferral completes without an answer
                case Action::WrongTypes: {
                    Platform::ValueSet bad;
                    bad.Insert(L"response", Platform::hstring(L"0"));
                    bad.Insert(L"TestReponse", uint64_t{7});
                    args.Request().SendResponseAsync(bad);
                    break;
                }
                case Action::NoKeys: {
                    Platform::ValueSet bare;
                    bare.Insert(L"unrelated", true);
                    args.Request().SendResponseAsync(bare);
                    break;
                }
                case Action::Delay:
                    Platform::Clock::instance().sleep_for(std::chrono::milliseconds(700));
                    [[fallthrough]];
                default:
                    if (answer) args.Request().SendResponseAsync(answer);
            }
            deferral.Complete();
        };
        auto forward = [helper = helper_](const Platform::ValueSet& r,
                                          std::function<void(Platform::ValueSet)> done) {
            helper.SendMessageAsync(r).Completed(
                [done](const Platform::IAsyncOperation<Platform::AppServiceResponse>& op,
                       Platform::AsyncStatus) {
                    Platform::ValueSet answer = nullptr;
                    try {
                        const auto response = op.get();
                        answer = response ? response.Message() : Platform::ValueSet(nullptr);
                    } catch (...) {
                    }
                    done(answer);
                });
        };
        if (action != Action::ForwardTwice) {
            forward(request, reply);
            return;
        }
        // Two copies; the first final answer goes back, "in progress" only if both say so.
        struct Pair {
            std::mutex m;
            int left = 2;
            Platform::ValueSet best = nullptr;
        };
        auto pair = std::make_shared<Pair>();
        auto collect = [pair, reply](Platform::ValueSet answer) {
            Platform::ValueSet chosen = nullptr;
            {
                std::lock_guard g(pair->m);
                const auto status =
                    answer ? answer.TryLookupAs<int32_t>(L"response") : std::nullopt;
                if (answer && (!pair->best || status != 2)) pair->best = answer;
                if (--pair->left > 0) return;
                chosen = pair->best;
            }
            reply(chosen);
        };
        forward(request, collect);
        forward(request, collect);
    }

    Platform::AppServiceConnection helper_;
    Policy policy_;
    Platform::AppServiceConnection app_{nullptr}, proxy_{nullptr};
    std::mutex m_;
    std::map<uint64_t, int> attempts_;
};

}  // namespace TestSupport
