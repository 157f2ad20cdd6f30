#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/hstring.h>

namespace TarvikFoundation::OrvaneInternal {

/// The helper's and the bus's outcome of a send; 7 is the library's own "exchange failed".
enum class KalderMessageErrorCode : int32_t {
    Success = 0,
    ExchangeFailed = 7,
};

/// One message of the inter-application bus: a type and a payload, both passed through
/// unchanged.
class TARVIK_API KalderMessage : private Platform::ModuleObject {
  public:
    KalderMessage(Platform::hstring messageType, Platform::hstring payload)
        : messageType_(std::move(messageType)), payload_(std::move(payload)) {}

    Platform::hstring MessageType() const {
        std::lock_guard g(m_);
        return messageType_;
    }
    void MessageType(Platform::hstring value) {
        std::lock_guard g(m_);
        messageType_ = std::move(value);
    }
    Platform::hstring Payload() const {
        std::lock_guard g(m_);
        return payload_;
    }
    void Payload(Platform::hstring value) {
        std::lock_guard g(m_);
        payload_ = std::move(value);
    }

  private:
    mutable std::mutex m_;
    Platform::hstring messageType_;
    Platform::hstring payload_;
};

using KalderMessagePtr = std::shared_ptr<KalderMessage>;
/// A listener receives only the payload.
using OrvaneMessageHandlerDelegate = std::function<void(const Platform::hstring& payload)>;
/// A MessageReceived handler receives the whole message.
using KalderMessageHandler = std::function<void(const KalderMessagePtr& message)>;

}  // namespace TarvikFoundation::OrvaneInternal
