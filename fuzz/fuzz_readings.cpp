// What the two processes read from each other as text: the account service's XML on
// both sides, the token and profile JSON of the managers, JSON values, and datagrams of
// the message bus. The first byte picks the reader; none may raise or crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <TarvikFoundation/orvaneauthtokeninfo.h>
#include <TarvikFoundation/orvaneauthuserprofile.h>
#include <TarvikFoundation/platform/hresult.h>
#include <TarvikFoundation/platform/jsonarray.h>

#include "common/tetherbox.h"
#include "helper/bus/messagebus.h"

namespace {

// The managers get their text already decoded from a message; bytes that are not
// UTF-8 arrive replaced.
Platform::hstring wide(const std::string& text) {
    return Platform::hstring::from_utf8(text);
}

template <class F>
void mustNotRaise(F&& read) {
    try {
        read();
    } catch (...) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    namespace Tetherbox = Tarvik::Tetherbox;
    switch (data[0] % 7) {
        case 0:
            mustNotRaise([&] {
                if (const auto call = Tetherbox::readRequest(text)) {
                    // The helper answers with what it read; the application must read it back.
                    const auto answer = Tetherbox::readResponse(Tetherbox::response(*call, 3));
                    if (answer.status != Tetherbox::Answer::Status::Value || answer.value != 3)
                        std::abort();
                }
            });
            break;
        case 1:
            mustNotRaise([&] { (void)Tetherbox::readResponse(text); });
            break;
        case 2:
            mustNotRaise([&] {
                (void)Tetherbox::textAt(text, "/UserData/UserID");
                (void)Tetherbox::textAt(text, "/UserData/Email");
            });
            break;
        case 3:
            mustNotRaise([&] {
                TarvikFoundation::OrvaneAuthTokenInfo info(wide(text));
                (void)info.ExpiresIn();
            });
            break;
        case 4:
            mustNotRaise([&] {
                TarvikFoundation::OrvaneAuthUserProfile profile(wide(text));
                (void)profile.ServiceAccounts().Size();
            });
            break;
        case 5:
            // Parse raises on bad text by contract; only that error is allowed.
            try {
                (void)Platform::JsonArray::Parse(wide(text)).Size();
            } catch (const Platform::hresult_error&) {
            }
            break;
        default: {
            std::string error;
            const auto message = TarvikHelper::MessageBus::decode(text.data(), text.size(), error);
            if (!message && error.empty()) std::abort();
            if (message && message->type.empty()) std::abort();
        }
    }
    return 0;
}
