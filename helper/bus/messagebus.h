#pragma once
// The user's local message bus: every running helper that registered its application
// owns a datagram socket in one private folder and a record beside it. A message one
// helper sends reaches every other member; members whose process is gone are removed
// by whoever finds them.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace TarvikHelper {

class MessageBus {
  public:
    // errorCode values of command 36.
    static constexpr int32_t kSent = 0;
    static constexpr int32_t kEmptyType = 1;
    static constexpr int32_t kTooLarge = 2;
    static constexpr int32_t kUnavailable = 3;
    static constexpr std::size_t kMaxDatagram = 64 * 1024;

    struct Member {
        long pid = 0;
        std::string package;
        std::string appVersion;
    };
    // A message from another member: its type, payload and sending package.
    using Receiver = std::function<void(const std::string& type, const std::string& payload,
                                        const std::string& from)>;

    // One message as another member wrote it; nullopt (with the reason in `error`)
    // for anything else.
    struct Received {
        std::string type, payload, from;
    };
    static std::optional<Received> decode(const char* data, std::size_t size, std::string& error);

    // `folder` empty: the bus folder of the user. Nothing is joined until join().
    MessageBus(std::string package, Receiver receiver, std::string folder = {});
    ~MessageBus();
    MessageBus(const MessageBus&) = delete;
    MessageBus& operator=(const MessageBus&) = delete;

    // Becomes a member (once) and records the application's version. False when the
    // bus folder or the socket cannot be set up.
    bool join(const std::string& appVersion);
    bool joined() const { return joined_.load(); }
    // Takes the record and the socket's name off the bus; for a process that ends
    // without running destructors. The destructor does it otherwise.
    void leave();
    // To every other member.
    int32_t send(const std::string& type, const std::string& payload);
    // To the members of one package only; false when none is live.
    bool sendToPackage(const std::string& package, const std::string& type,
                       const std::string& payload);
    // Live members, this one included once joined; stale ones are removed on the way.
    std::vector<Member> members();
    const std::string& folder() const { return folder_; }

  private:
    struct Impl;
    int32_t deliver(const std::string& datagram, const std::optional<std::string>& onlyPackage,
                    bool& reachedAny);
    void receiveLoop();
    std::string encode(const std::string& type, const std::string& payload) const;

    std::string package_;
    Receiver receiver_;
    std::string folder_;
    std::string folderError_;
    std::unique_ptr<Impl> impl_;
    std::mutex joinMutex_;
    std::atomic<bool> joined_{false};
    std::atomic<bool> stop_{false};
    std::thread receiver_thread_;
};

}  // namespace TarvikHelper
