#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/hstring.h>

/// Runtime classes for the library's own use and for tests: the message handler, its
/// messages and the test manager.
namespace TarvikFoundation::OrvaneInternal {

/// The helper's and the bus's outcome of a send; 7 is the library's own "exchange failed".
/// The reference helper answers 0 sent, 1 empty type, 2 message over 64 KiB, 3 the bus
/// folder cannot be used; other values pass through as the helper gives them.
enum class KalderMessageErrorCode : int32_t {
    Success = 0,         ///< Sent to every other member of the bus.
    ExchangeFailed = 7,  ///< No answer, or an answer without "errorCode".
};

/// One message of the inter-application bus: a type and a payload, both passed through
/// unchanged.
class TARVIK_API KalderMessage : private Platform::ModuleObject {
  public:
    /// Keeps both strings unchanged.
    KalderMessage(Platform::hstring messageType, Platform::hstring payload)
        : messageType_(std::move(messageType)), payload_(std::move(payload)) {}

    /// The dotted message type, matched exactly (case-sensitive).
    Platform::hstring MessageType() const {
        std::lock_guard g(m_);
        return messageType_;
    }
    /// Sets the message type.
    void MessageType(Platform::hstring value) {
        std::lock_guard g(m_);
        messageType_ = std::move(value);
    }
    /// The payload text, never parsed by the library.
    Platform::hstring Payload() const {
        std::lock_guard g(m_);
        return payload_;
    }
    /// Sets the payload.
    void Payload(Platform::hstring value) {
        std::lock_guard g(m_);
        payload_ = std::move(value);
    }

  private:
    mutable std::mutex m_;
    Platform::hstring messageType_;
    Platform::hstring payload_;
};

/// Messages are shared between the queue, the event and the host.
using KalderMessagePtr = std::shared_ptr<KalderMessage>;
/// A listener receives only the payload.
using OrvaneMessageHandlerDelegate = std::function<void(const Platform::hstring& payload)>;
/// A MessageReceived handler receives the whole message.
using KalderMessageHandler = std::function<void(const KalderMessagePtr& message)>;

}  // namespace TarvikFoundation::OrvaneInternal
