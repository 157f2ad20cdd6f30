#pragma once
// A scripted helper whose answers to single commands a test replaces; every other
// command gets the fallback answer.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "asyncwait.h"
#include "common/messageschema.h"
#include "scriptedpeer.h"

namespace TestSupport {

inline std::optional<int32_t> commandOf(const Platform::ValueSet& r) {
    return r.TryLookupAs<int32_t>(L"command");
}

struct FakeHelper {
    using Answer = std::function<Platform::ValueSet(const Platform::ValueSet&)>;

    explicit FakeHelper(Answer fallback =
                            [](const Platform::ValueSet&) { return Tarvik::createResponse(true); })
        : fallback_(std::move(fallback)) {}

    void on(int32_t command, Answer f) {
        std::lock_guard g(m_);
        answers_[command] = std::move(f);
    }
    void answer(int32_t command, Platform::ValueSet v) {
        on(command, [v](const Platform::ValueSet&) { return v; });
    }
    std::vector<Platform::ValueSet> sent(int32_t command) {
        std::vector<Platform::ValueSet> out;
        for (std::size_t i = 0; i < peer.count(); ++i)
            if (commandOf(peer.request(i)) == command) out.push_back(peer.request(i));
        return out;
    }
    // A request the helper sends to the application, and the application's answer; a
    // failure and {"response": -1} when none comes within ten seconds.
    Platform::ValueSet fromHelper(const Platform::ValueSet& request) {
        auto op = peer.peerSide().SendMessageAsync(request);
        if (!endsWithin(op)) {
            ADD_FAILURE() << "the application did not answer in time";
            return responseWith(-1);
        }
        return op.get().Message();
    }

  private:
    std::mutex m_;
    std::map<int32_t, Answer> answers_;
    Answer fallback_;

  public:
    ScriptedPeer peer{
        [this](const Platform::ValueSet& request, int) -> std::optional<Platform::ValueSet> {
            Answer answer;
            if (const auto c = commandOf(request)) {
                std::lock_guard g(m_);
                if (auto it = answers_.find(*c); it != answers_.end()) answer = it->second;
            }
            return answer ? answer(request) : fallback_(request);
        }};
};

}  // namespace TestSupport
