#include "helper/bus/messagebus.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/datagram_protocol.hpp>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>

#include <TarvikFoundation/platform/hresult.h>

#include "common/logger.h"
#include "platform/privatefiles.h"
#include "platform/socketpaths.h"

namespace TarvikHelper {

namespace fs = boost::filesystem;
using Datagram = boost::asio::local::datagram_protocol;

struct MessageBus::Impl {
    boost::asio::io_context io;
    Datagram::socket member{io};  // bound once joined; receives
    Datagram::socket sender{io};  // unbound; sends, also before joining
};

namespace {

bool processAlive(long pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

std::optional<MessageBus::Member> readRecord(const fs::path& path) {
    std::ifstream in(path.string());
    if (!in) return std::nullopt;
    try {
        const auto j = nlohmann::json::parse(in);
        MessageBus::Member m;
        m.pid = j.at("pid").get<long>();
        m.package = j.at("package").get<std::string>();
        m.appVersion = j.value("appVersion", std::string());
        return m;
    } catch (const nlohmann::json::exception& e) {
        TLOG("WRN", "bus record %s unreadable: %s", path.string().c_str(), e.what());
        return std::nullopt;
    }
}

void removeMember(const fs::path& folder, long pid) {
    boost::system::error_code ec;
    fs::remove(folder / (std::to_string(pid) + ".sock"), ec);
    fs::remove(folder / (std::to_string(pid) + ".json"), ec);
}

}  // namespace

MessageBus::MessageBus(std::string package, Receiver receiver, std::string folder)
    : package_(std::move(package)),
      receiver_(std::move(receiver)),
      folder_(std::move(folder)),
      impl_(std::make_unique<Impl>()) {
    if (folder_.empty()) {
        try {
            folder_ = Platform::SocketPaths::ensureUserFolder(".bus");
        } catch (const Platform::hresult_error& e) {
            folderError_ = e.message().to_utf8();
            TLOG("CRT", "message bus unavailable: %s", folderError_.c_str());
        }
    }
    boost::system::error_code ec;
    impl_->sender.open(Datagram(), ec);
    if (!ec) impl_->sender.non_blocking(true, ec);
    if (ec) TLOG("CRT", "bus send socket: %s", ec.message().c_str());
}

MessageBus::~MessageBus() {
    stop_ = true;
    if (receiver_thread_.joinable()) receiver_thread_.join();
    leave();
}

void MessageBus::leave() {
    std::lock_guard g(joinMutex_);
    if (joined_.exchange(false)) removeMember(folder_, ::getpid());
}

bool MessageBus::join(const std::string& appVersion) {
    std::lock_guard g(joinMutex_);
    if (folder_.empty()) return false;
    const fs::path folder(folder_);
    const long pid = ::getpid();
    if (!joined_) {
        const std::string path = (folder / (std::to_string(pid) + ".sock")).string();
        if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
            TLOG("CRT", "bus socket path too long: %s", path.c_str());
            return false;
        }
        boost::system::error_code ec;
        fs::remove(path, ec);  // left by an earlier process with this pid
        impl_->member.open(Datagram(), ec);
        if (!ec) impl_->member.bind(Datagram::endpoint(path), ec);
        // The user's alone, as every file of the helper's (the folder is already).
        if (!ec && ::chmod(path.c_str(), 0600) != 0)
            ec = boost::system::error_code(errno, boost::system::system_category());
        if (ec) {
            TLOG("CRT", "cannot join the bus at %s: %s", path.c_str(), ec.message().c_str());
            impl_->member.close(ec);
            return false;
        }
    }
    // The record is written after the socket exists, so a reader who finds the
    // record can send; replaced atomically so no reader sees half of it.
    const nlohmann::json record = {{"pid", pid}, {"package", package_}, {"appVersion", appVersion}};
    const fs::path final = folder / (std::to_string(pid) + ".json");
    std::string error;
    if (!Platform::PrivateFiles::replaceDurably(final.string(), record.dump(), error)) {
        TLOG("CRT", "cannot write bus record %s: %s", final.string().c_str(), error.c_str());
        return false;
    }
    if (!joined_.exchange(true)) {
        receiver_thread_ = std::thread([this] { receiveLoop(); });
        TLOG("INF", "joined the message bus as %ld (%s)", pid, package_.c_str());
    }
    return true;
}

std::string MessageBus::encode(const std::string& type, const std::string& payload) const {
    const nlohmann::json j = {
        {"type", type}, {"payload", payload}, {"from", package_}, {"pid", ::getpid()}};
    // Invalid UTF-8 from the application is carried replaced, never refused.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<MessageBus::Received> MessageBus::decode(const char* data, std::size_t size,
                                                       std::string& error) {
    try {
        const auto j = nlohmann::json::parse(data, data + size);
        Received message{j.at("type").get<std::string>(), j.at("payload").get<std::string>(),
                         j.value("from", std::string())};
        if (message.type.empty()) throw std::invalid_argument("empty type");
        return message;
    } catch (const std::exception& e) {
        error = e.what();
        return std::nullopt;
    }
}

std::vector<MessageBus::Member> MessageBus::members() {
    std::vector<Member> live;
    if (folder_.empty()) return live;
    boost::system::error_code ec;
    const fs::path folder(folder_);
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path path = it->path();
        if (path.extension() != ".json") continue;
        auto member = readRecord(path);
        if (!member) continue;
        const bool socketThere = fs::exists(folder / (std::to_string(member->pid) + ".sock"));
        if (!processAlive(member->pid) || !socketThere) {
            TLOG("INF", "removing stale bus member %ld", member->pid);
            removeMember(folder, member->pid);
            continue;
        }
        live.push_back(*member);
    }
    return live;
}

int32_t MessageBus::deliver(const std::string& datagram,
                            const std::optional<std::string>& onlyPackage, bool& reachedAny) {
    reachedAny = false;
    if (folder_.empty() || !impl_->sender.is_open()) return kUnavailable;
    const long self = ::getpid();
    const fs::path folder(folder_);
    for (const Member& m : members()) {
        if (m.pid == self) continue;  // a member does not hear itself
        if (onlyPackage && m.package != *onlyPackage) continue;
        const std::string path = (folder / (std::to_string(m.pid) + ".sock")).string();
        boost::system::error_code ec;
        impl_->sender.send_to(boost::asio::buffer(datagram), Datagram::endpoint(path), 0, ec);
        if (!ec) {
            reachedAny = true;
            continue;
        }
        if (ec == boost::asio::error::connection_refused || ec == boost::asio::error::not_found ||
            ec.value() == ENOENT) {
            TLOG("INF", "bus member %ld is gone", m.pid);
            removeMember(folder, m.pid);
        } else {
            // A member that does not read loses this message; the others still get it.
            TLOG("WRN", "bus message to %ld dropped: %s", m.pid, ec.message().c_str());
        }
    }
    return kSent;
}

int32_t MessageBus::send(const std::string& type, const std::string& payload) {
    if (type.empty()) return kEmptyType;
    const std::string datagram = encode(type, payload);
    if (datagram.size() > kMaxDatagram) {
        TLOG("WRN", "bus message of %zu bytes refused", datagram.size());
        return kTooLarge;
    }
    bool reached = false;
    return deliver(datagram, std::nullopt, reached);
}

bool MessageBus::sendToPackage(const std::string& package, const std::string& type,
                               const std::string& payload) {
    const std::string datagram = encode(type, payload);
    if (datagram.size() > kMaxDatagram) return false;
    bool reached = false;
    deliver(datagram, package, reached);
    return reached;
}

void MessageBus::receiveLoop() {
    std::vector<char> buffer(kMaxDatagram + 1);
    const int fd = impl_->member.native_handle();
    while (!stop_) {
        pollfd p{fd, POLLIN, 0};
        // Wakes regularly to see the stop flag; the socket has no other reader.
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0) continue;
        if (static_cast<std::size_t>(n) > kMaxDatagram) {
            TLOG("WRN", "bus datagram over %zu bytes dropped", kMaxDatagram);
            continue;
        }
        std::string error;
        if (const auto message = decode(buffer.data(), static_cast<std::size_t>(n), error))
            receiver_(message->type, message->payload, message->from);
        else
            TLOG("WRN", "malformed bus datagram dropped: %s", error.c_str());
    }
}

}  // namespace TarvikHelper
