#include "tools/conformance/conformancechecks.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <memory>
#include <thread>

#include "common/messageschema.h"
#include "platform/framedio.h"
#include "platform/socketpaths.h"
#include "platform/wirecodec.h"
#include "tools/conformance/rawlistener.h"

namespace Conformance {

using namespace std::chrono_literals;
using Platform::hstring;
using Platform::ValueSet;
using Tarvik::CommandTable::CommandSpec;
using Tarvik::CommandTable::Direction;
using Tarvik::CommandTable::KeySpec;

namespace {

std::string narrow(const wchar_t* text) {
    return Platform::wide_to_utf8(text);
}

std::string seconds(std::chrono::milliseconds d) {
    return std::to_string(d.count() / 1000.0).substr(0, 4) + " s";
}

// The order the commands run in: a session is closed, the socket server shut down, only
// after the commands that use them.
double rank(int32_t code) {
    if (code == 21) return 25.5;
    if (code == 33) return 34.5;
    return code;
}

ValueSet withRetry(const ValueSet& message) {
    ValueSet again = message.Clone();
    again.Insert(L"retry", true);
    return again;
}

// A raw connection's descriptor, closed when it goes.
struct Descriptor {
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd;
};

}  // namespace

ConformanceChecks::ConformanceChecks(Report& report, HelperSandbox& sandbox, HelperLink& link,
                                     CheckOptions options)
    : report_(report),
      sandbox_(sandbox),
      link_(link),
      options_(std::move(options)),
      values_(sandbox.filesFolder()) {}

void ConformanceChecks::run(const std::vector<std::string>& program) {
    try {
        firstConnection(program);
        commandChecks();
        envelopeChecks();
        executedOnceChecks();
        acknowledgementChecks();
        frameChecks();
        helperRequestChecks();
        exitCheck();
    } catch (const Abort&) {
        report_.note("the remaining checks were not run");
        if (link_.connections() > 0) helperRequestChecks();
    }
}

bool ConformanceChecks::implemented(int32_t code) const {
    return options_.only.empty() || options_.only.contains(code);
}

std::string ConformanceChecks::label(const CommandSpec& entry) {
    return std::to_string(entry.code) + " " + entry.name;
}

std::optional<int32_t> ConformanceChecks::responseOf(const ValueSet& answer) {
    return answer ? typedValue<int32_t>(answer, L"response") : std::nullopt;
}

ValueSet ConformanceChecks::request(int32_t command) {
    ValueSet message = Tarvik::createRequest(command);
    message.Insert(L"commandId", nextId());
    message.Insert(L"ackCounts", static_cast<int32_t>(0));
    return message;
}

ValueSet ConformanceChecks::validRequest(const CommandSpec& entry) {
    ValueSet message = request(entry.code);
    for (const KeySpec& key : entry.request) message.Insert(key.name, values_.valid(entry, key));
    return message;
}

void ConformanceChecks::ensureAlive() {
    if (helperExitChecked_) return;
    std::string status;
    if (sandbox_.ended(&status)) {
        report_.check(false, "the helper keeps running", "it ended, " + status);
        helperExitChecked_ = true;
        throw Abort{};
    }
}

// Waits in short slices, so that a helper which ends before it connects is reported
// at once rather than after the whole connect timeout.
bool ConformanceChecks::awaitConnection(int seen) {
    constexpr std::chrono::milliseconds kSlice{100};
    const auto deadline = std::chrono::steady_clock::now() + options_.connectTimeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= std::chrono::milliseconds::zero()) return false;
        if (link_.waitForConnection(seen, std::min(left, kSlice))) return true;
        if (sandbox_.ended())
            return link_.waitForConnection(seen, std::chrono::milliseconds::zero());
    }
}

bool ConformanceChecks::reconnect(const std::string& why) {
    const int seen = link_.connections();
    sandbox_.signalReconnect();
    if (!awaitConnection(seen)) {
        report_.check(false, "the helper connects again " + why,
                      "no connection within " + seconds(options_.connectTimeout));
        return false;
    }
    expectCommand41(link_.connections(), "connecting again " + why);
    return true;
}

std::optional<ValueSet> ConformanceChecks::exchange(
    const ValueSet& message, const std::string& what,
    std::optional<std::chrono::milliseconds> timeout) {
    ensureAlive();
    if (link_.closed()) {
        report_.check(false, "the helper keeps its connection open",
                      "it closed the connection before: " + what);
        if (!reconnect("after closing it")) throw Abort{};
    }
    const auto wait = timeout.value_or(options_.answerTimeout);
    const auto answer = link_.send(message, wait);
    if (!answer) {
        std::string status;
        const bool ended = sandbox_.ended(&status);
        report_.check(false, what,
                      ended ? "the helper ended, " + status : "no answer within " + seconds(wait));
        ensureAlive();
        if (++silentAnswers_ >= 3) {
            report_.check(false, "the helper answers", "three requests in a row went unanswered");
            throw Abort{};
        }
        return std::nullopt;
    }
    silentAnswers_ = 0;
    if (answer->status != Platform::AppServiceResponseStatus::Success || !answer->message) {
        report_.check(false, what,
                      "the exchange ended with status " +
                          std::to_string(static_cast<int>(answer->status)) + " and no message");
        return std::nullopt;
    }
    return answer->message;
}

void ConformanceChecks::expectCommand41(int connection, const std::string& after) {
    const auto request = link_.waitForRequest(connection, 41, options_.answerTimeout);
    const bool hasId = request && typedValue<uint64_t>(request->message, L"commandId").has_value();
    report_.check(request && hasId, "command 41 after " + after,
                  !request ? "none within " + seconds(options_.answerTimeout)
                  : !hasId ? "without a UInt64 \"commandId\": " + describe(request->message)
                           : "");
}

void ConformanceChecks::firstConnection(const std::vector<std::string>& program) {
    std::string error;
    if (!report_.check(sandbox_.start(program, !options_.fromSettings, error), "the helper starts",
                       error))
        throw Abort{};
    const bool connected = awaitConnection(0);
    std::string status;
    report_.check(connected, "opening: the helper connects to the application's service",
                  connected ? ""
                  : sandbox_.ended(&status)
                      ? "it ended, " + status
                      : "no connection within " + seconds(options_.connectTimeout));
    if (!connected) {
        helperExitChecked_ = true;
        throw Abort{};
    }
    const bool named = link_.serviceName() == HelperSandbox::kService;
    const bool anonymous = link_.callerFamily().empty();
    report_.check(named && anonymous, "opening: names the service and announces no caller package",
                  std::string(named ? "" : "service \"" + link_.serviceName() + "\" ") +
                      (anonymous ? "" : "caller \"" + link_.callerFamily() + "\""));
    expectCommand41(1, "the first connection");
}

void ConformanceChecks::commandChecks() {
    std::vector<const CommandSpec*> order;
    for (const CommandSpec& entry : Tarvik::CommandTable::all()) order.push_back(&entry);
    std::stable_sort(order.begin(), order.end(), [](const CommandSpec* a, const CommandSpec* b) {
        return rank(a->code) < rank(b->code);
    });
    for (const CommandSpec* entry : order) {
        if (entry->direction == Direction::HelperToApp) {
            report_.skip(label(*entry), "sent by the helper, not to it; see its requests below");
            continue;
        }
        if (entry->code == 39) continue;  // it ends the helper: the last check
        if (implemented(entry->code))
            checkCommand(*entry);
        else
            checkUnimplemented(*entry);
    }
}

void ConformanceChecks::checkCommand(const CommandSpec& entry) {
    const std::string name = label(entry);
    const ValueSet first = validRequest(entry);
    const std::string answered = name + ": valid input is answered";
    const auto answer = exchange(first, answered);
    const auto response = answer ? responseOf(*answer) : std::nullopt;
    if (answer)
        report_.check(response.has_value(), answered,
                      response ? "response " + std::to_string(*response)
                               : "without an Int32 \"response\": " + describe(*answer));
    if (response) {
        values_.remember(*answer);
        std::string problems;
        if (!entry.outcomes.empty() && !Tarvik::CommandTable::isRetryOutcome(*response) &&
            std::find(entry.outcomes.begin(), entry.outcomes.end(), *response) ==
                entry.outcomes.end())
            problems += "response " + std::to_string(*response) + " is not one it may give; ";
        for (const KeySpec& key : entry.answer) {
            const auto value = answer->TryLookup(key.name);
            if (value && !holdsType(*value, key.type))
                problems += "\"" + narrow(key.name) + "\" is " +
                            Platform::property_type_name(value->Type()) + ", not " +
                            std::string(Tarvik::CommandTable::typeName(key.type)) + "; ";
            else if (!value && key.required && *response == 0)
                problems += "\"" + narrow(key.name) + "\" is missing; ";
        }
        report_.check(problems.empty(), name + ": answer keys and types",
                      problems + describe(*answer));
        const std::string retried =
            name + ": a retry with the same id is answered from its results";
        if (*response == 2) {
            report_.skip(retried, "the first answer was 2, which is never kept");
        } else if (const auto again = exchange(withRetry(first), retried)) {
            report_.check(again->equals(*answer), retried,
                          again->equals(*answer)
                              ? ""
                              : "first " + describe(*answer) + ", retry " + describe(*again));
        }
    } else {
        report_.skip(name + ": retry", "the valid request got no usable answer");
    }
    for (const KeySpec& key : entry.request) {
        if (!key.required) continue;
        ValueSet message = validRequest(entry);
        message.Remove(key.name);
        const std::string what = name + ": without \"" + narrow(key.name) + "\" it answers";
        if (const auto a = exchange(message, what)) {
            const auto r = responseOf(*a);
            report_.check(
                r.has_value(), what,
                r ? "response " + std::to_string(*r) : "no \"response\": " + describe(*a));
        }
    }
    for (const KeySpec& key : entry.request) {
        ValueSet message = validRequest(entry);
        const auto wrong = wronglyTyped(key.type);
        message.Insert(key.name, wrong);
        const std::string what = name + ": \"" + narrow(key.name) + "\" as " +
                                 Platform::property_type_name(wrong.Type()) + " is answered";
        if (const auto a = exchange(message, what)) {
            const auto r = responseOf(*a);
            report_.check(
                r.has_value(), what,
                r ? "response " + std::to_string(*r) : "no \"response\": " + describe(*a));
        }
    }
}

void ConformanceChecks::checkUnimplemented(const CommandSpec& entry) {
    const std::string name = label(entry);
    const std::string what = name + ": not implemented here, answered with \"response\" 1";
    if (const auto a = exchange(validRequest(entry), what)) {
        const auto r = responseOf(*a);
        report_.check(r && *r == 1, what, describe(*a));
    }
    report_.skip(name + ": answer keys, retry, missing and wrongly typed keys",
                 "not implemented by this helper (--only)");
}

void ConformanceChecks::envelopeChecks() {
    const CommandSpec* probe = implemented(38) ? Tarvik::CommandTable::find(38) : nullptr;
    if (!probe) {
        report_.skip("requests without \"commandId\" or \"ackCounts\"",
                     "they are sent as command 38, which this helper does not implement");
    } else {
        for (const wchar_t* key : {L"commandId", L"ackCounts"}) {
            ValueSet message = validRequest(*probe);
            message.Remove(key);
            const std::string what = "a request without \"" + narrow(key) + "\" is answered";
            if (const auto a = exchange(message, what))
                report_.check(responseOf(*a) == 0, what, describe(*a));
        }
    }
    if (probe) {
        ValueSet message = withRetry(validRequest(*probe));
        message.Insert(L"retry", int32_t{1});
        const std::string what = "a request with \"retry\" as Int32 is answered";
        if (const auto a = exchange(message, what))
            report_.check(responseOf(*a).has_value(), what, describe(*a));
    }
    if (probe) {
        ValueSet message = validRequest(*probe);
        message.Insert(L"commandId", hstring(L"1"));
        const std::string what = "a request with \"commandId\" as String is answered";
        if (const auto a = exchange(message, what))
            report_.check(responseOf(*a).has_value(), what, describe(*a));
    }
    // Codes the table does not assign: refused, never left unanswered.
    for (const int32_t code : {7, 57, 1000, -1}) {
        const std::string what = "unassigned command " + std::to_string(code) + " is refused";
        if (const auto a = exchange(request(code), what)) {
            const auto r = responseOf(*a);
            report_.check(r && *r != 0 && *r != 2, what, describe(*a));
        }
    }
}

void ConformanceChecks::executedOnceChecks() {
    const CommandSpec* delay = implemented(38) ? Tarvik::CommandTable::find(38) : nullptr;
    if (!delay) {
        report_.skip("a retried command 38 is executed once", "38 is not implemented here");
    } else {
        // The answer names the request's "value": a second execution would show the
        // retry's value instead of the first one's.
        ValueSet first = validRequest(*delay);
        first.Insert(L"TestDelay", uint64_t{0});
        first.Insert(L"value", uint64_t{101});
        const std::string what = "a retried 38 is executed once: the retry gets the first answer";
        if (const auto a = exchange(first, what)) {
            ValueSet retry = withRetry(first);
            retry.Insert(L"value", uint64_t{202});
            if (const auto b = exchange(retry, what))
                report_.check(b->equals(*a), what,
                              "first " + describe(*a) + ", retry " + describe(*b));
        }
        // A retry that arrives while the first copy runs: 2 (try again later), or the
        // first copy's answer once it is there.
        ValueSet slow = validRequest(*delay);
        slow.Insert(L"TestDelay", uint64_t{1500});
        const auto wait = options_.answerTimeout + 1500ms;
        auto firstAnswer =
            std::async(std::launch::async, [this, slow, wait] { return link_.send(slow, wait); });
        std::this_thread::sleep_for(300ms);
        const std::string during = "a retry while the first copy runs is answered with 2";
        const auto duringAnswer = exchange(withRetry(slow), during, wait);
        const auto original = firstAnswer.get();
        if (!original || !original->message) {
            report_.check(false, "38 with a delay of 1.5 s is answered", "no answer");
        } else if (duringAnswer) {
            // Whichever copy reached the helper second is the duplicate: it gets 2, or
            // the same answer as the one that ran.
            const ValueSet& one = original->message;
            const ValueSet& other = *duringAnswer;
            const bool oneBusy = responseOf(one) == 2;
            const bool otherBusy = responseOf(other) == 2;
            report_.check(oneBusy != otherBusy || one.equals(other), during,
                          "first " + describe(one) + ", retry " + describe(other));
            const ValueSet& ran = oneBusy ? other : one;
            const std::string after = "a retry after the first copy ended gets its answer";
            if (const auto late = exchange(withRetry(slow), after))
                report_.check(late->equals(ran), after,
                              "first " + describe(ran) + ", retry " + describe(*late));
        }
    }
    const CommandSpec* get = Tarvik::CommandTable::find(44);
    const CommandSpec* set = Tarvik::CommandTable::find(45);
    const std::string what = "a retried 45 is executed once: a later 45's value stays";
    if (!get || !set || !implemented(44) || !implemented(45)) {
        report_.skip(what, "44 and 45 are not both implemented here");
        return;
    }
    ValueSet earlier = validRequest(*set);
    earlier.Insert(L"EnvVariableValue", hstring(L"earlier"));
    ValueSet later = validRequest(*set);
    later.Insert(L"EnvVariableValue", hstring(L"later"));
    if (!exchange(earlier, what) || !exchange(later, what) || !exchange(withRetry(earlier), what))
        return;
    if (const auto read = exchange(validRequest(*get), what)) {
        const auto value = typedValue<hstring>(*read, L"EnvTableEntry");
        report_.check(value && *value == L"later", what, describe(*read));
    }
}

void ConformanceChecks::acknowledgementChecks() {
    const CommandSpec* probe = implemented(38) ? Tarvik::CommandTable::find(38) : nullptr;
    if (!probe) {
        report_.skip("acknowledgements", "they are sent with command 38, not implemented here");
        return;
    }
    auto probeRequest = [&](uint64_t value) {
        ValueSet message = validRequest(*probe);
        message.Insert(L"TestDelay", uint64_t{0});
        message.Insert(L"value", value);
        return message;
    };
    const ValueSet kept = probeRequest(1);
    const ValueSet acked = probeRequest(2);
    const std::string keeps = "acknowledging one id keeps the results of the others";
    const auto keptAnswer = exchange(kept, keeps);
    const auto ackedAnswer = exchange(acked, keeps);
    ValueSet carrier = probeRequest(3);
    carrier.Insert(L"ackCounts", int32_t{1});
    carrier.Insert(L"Ack1", acked.LookupAs<uint64_t>(L"commandId"));
    const std::string carried = "a request carrying an acknowledgement is answered";
    if (const auto a = exchange(carrier, carried)) report_.check(responseOf(*a) == 0, carried);
    if (keptAnswer) {
        ValueSet retry = withRetry(kept);
        retry.Insert(L"value", uint64_t{4});
        if (const auto b = exchange(retry, keeps))
            report_.check(b->equals(*keptAnswer), keeps,
                          "first " + describe(*keptAnswer) + ", retry " + describe(*b));
    }
    // Once acknowledged, the result may be gone: executing again or answering from a kept
    // result are both right, as long as an answer comes.
    const std::string afterAck = "a retry of an acknowledged id is answered";
    if (ackedAnswer)
        if (const auto b = exchange(withRetry(acked), afterAck))
            report_.check(responseOf(*b).has_value(), afterAck, describe(*b));

    struct Odd {
        std::string what;
        std::function<void(ValueSet&)> change;
    };
    const std::vector<Odd> odd = {
        {"\"ackCounts\" 30 with 25 entries of unknown ids",
         [](ValueSet& m) {
             m.Insert(L"ackCounts", int32_t{30});
             for (int i = 1; i <= 25; ++i)
                 m.Insert(hstring(L"Ack" + std::to_wstring(i)), (uint64_t{1} << 60) + i);
         }},
        {"\"ackCounts\" 3 without its entries",
         [](ValueSet& m) { m.Insert(L"ackCounts", int32_t{3}); }},
        {"\"ackCounts\" -5", [](ValueSet& m) { m.Insert(L"ackCounts", int32_t{-5}); }},
        {"\"ackCounts\" as String", [](ValueSet& m) { m.Insert(L"ackCounts", hstring(L"1")); }},
        {"\"Ack1\" as String",
         [](ValueSet& m) {
             m.Insert(L"ackCounts", int32_t{1});
             m.Insert(L"Ack1", hstring(L"1"));
         }},
    };
    for (const auto& [label, change] : odd) {
        ValueSet message = probeRequest(5);
        change(message);
        const std::string what = "a request with " + label + " is answered";
        if (const auto a = exchange(message, what))
            report_.check(responseOf(*a).has_value(), what, describe(*a));
    }
}

namespace {

// Takes the helper's opening on a raw connection, accepts it and answers its requests
// until command 41 comes; returns what was wrong, empty when nothing.
std::string rawHandshake(int fd, int timeoutMs, bool& saw41) {
    namespace Io = Platform::FramedIo;
    std::string error;
    const auto hello = Io::readFrame(fd, timeoutMs, error);
    if (!hello || !hello->has_open()) return hello ? "the first frame is no opening" : error;
    const auto& open = hello->open();
    std::string problems;
    if (open.service_name() != HelperSandbox::kService)
        problems += "service \"" + open.service_name() + "\"; ";
    if (!open.caller_package_family_name().empty())
        problems += "caller \"" + open.caller_package_family_name() + "\"; ";
    if (open.protocol_version() != Platform::Wire::kProtocolVersion)
        problems += "protocol version " + std::to_string(open.protocol_version()) + "; ";
    tarvik::wire::Frame accepted;
    accepted.mutable_open_result()->set_status(0);
    if (!Io::writeFrame(fd, accepted)) return problems + "cannot accept the opening";
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!saw41 && std::chrono::steady_clock::now() < until) {
        const auto frame = Io::readFrame(fd, timeoutMs, error);
        if (!frame) break;
        if (!frame->has_request()) continue;
        try {
            const ValueSet message = Platform::Wire::fromProto(frame->request().message());
            saw41 = typedValue<int32_t>(message, L"command") == 41;
        } catch (const std::exception&) {
        }
        tarvik::wire::Frame answer;
        answer.mutable_response()->set_sequence(frame->request().sequence());
        answer.mutable_response()->set_status(0);
        answer.mutable_response()->set_message_present(true);
        Platform::Wire::toProto(Tarvik::createResponse(true),
                                *answer.mutable_response()->mutable_message());
        Io::writeFrame(fd, answer);
    }
    return problems;
}

}  // namespace

void ConformanceChecks::frameChecks() {
    const int timeoutMs = static_cast<int>(options_.answerTimeout.count());
    const int connectMs = static_cast<int>(options_.connectTimeout.count());
    // The application closes: a closing frame. The helper comes back, this time to a
    // socket that lets the checks write any bytes.
    link_.close();
    link_.stopListening();
    std::unique_ptr<RawListener> raw;
    try {
        raw = std::make_unique<RawListener>(
            Platform::SocketPaths::servicePath(hstring::from_utf8(HelperSandbox::kFamily),
                                               hstring::from_utf8(HelperSandbox::kService)));
    } catch (const std::exception& e) {
        report_.check(false, "the checks listen for raw frames", e.what());
        link_.listen();
        if (!reconnect("after a closing frame")) throw Abort{};
        return;
    }
    struct Refusal {
        std::string what;
        std::string bytes;
    };
    // A frame protobuf cannot parse, and a length prefix past 16 MiB.
    const std::vector<Refusal> refusals = {
        {"a malformed frame", std::string("\0\0\0\x06\xff\xff\xff\xff\xff\xff", 10)},
        {"an oversized frame", std::string("\x01\0\0\x01", 4) + std::string(64, 'x')},
    };
    std::string after = "the application closed the connection (closing frame)";
    for (const auto& [what, bytes] : refusals) {
        ensureAlive();
        sandbox_.signalReconnect();
        Descriptor connection(raw->accept(connectMs));
        if (!report_.check(connection.fd >= 0, "the helper connects again after " + after,
                           connection.fd >= 0
                               ? ""
                               : "no connection within " + seconds(options_.connectTimeout)))
            break;
        bool saw41 = false;
        const std::string problems = rawHandshake(connection.fd, timeoutMs, saw41);
        report_.check(problems.empty(), "opening frame after " + after, problems);
        report_.check(saw41, "command 41 after " + after, saw41 ? "" : "none");
        ::send(connection.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        const bool closed = waitForPeerClose(connection.fd, timeoutMs);
        report_.check(closed, what + " makes the helper close that connection",
                      closed ? "" : "it stayed open for " + seconds(options_.answerTimeout));
        ensureAlive();
        report_.check(true, "the helper keeps running after " + what);
        after = what;
    }
    raw.reset();
    link_.listen();
    if (!reconnect("after " + after)) throw Abort{};
    const CommandSpec* probe = nullptr;
    for (const CommandSpec& entry : Tarvik::CommandTable::all())
        if (!probe && entry.direction == Direction::AppToHelper && entry.code != 39 &&
            implemented(entry.code))
            probe = &entry;
    const std::string works = "the new connection answers requests";
    if (probe)
        if (const auto a = exchange(validRequest(*probe), works))
            report_.check(responseOf(*a).has_value(), works, label(*probe));
}

void ConformanceChecks::helperRequestChecks() {
    static const std::set<int32_t> allowed = {41, 31, 37, 55};
    const auto requests = link_.requests();
    std::vector<std::string> problems;
    for (const auto& r : requests) {
        const ValueSet& m = r.message;
        const auto code = typedValue<int32_t>(m, L"command");
        std::string wrong;
        if (!code || !allowed.contains(*code)) wrong += "command not 41, 31, 37 or 55; ";
        if (!typedValue<uint64_t>(m, L"commandId")) wrong += "no UInt64 \"commandId\"; ";
        if (const auto acks = m.TryLookup(L"ackCounts")) {
            if (!acks->holds<int32_t>())
                wrong += "\"ackCounts\" not Int32; ";
            else
                for (int32_t i = 1; i <= std::min(Platform::unbox_value<int32_t>(*acks), 25); ++i)
                    if (!typedValue<uint64_t>(m, hstring(L"Ack" + std::to_wstring(i))))
                        wrong += "Ack" + std::to_string(i) + " not UInt64; ";
        }
        if (const CommandSpec* entry = code ? Tarvik::CommandTable::find(*code) : nullptr)
            for (const KeySpec& key : entry->request) {
                const auto value = m.TryLookup(key.name);
                if (value ? !holdsType(*value, key.type) : key.required)
                    wrong += "\"" + narrow(key.name) + "\" missing or not " +
                             std::string(Tarvik::CommandTable::typeName(key.type)) + "; ";
            }
        if (!wrong.empty()) problems.push_back(wrong + describe(m));
    }
    std::string detail = std::to_string(requests.size()) + " seen";
    for (std::size_t i = 0; i < problems.size() && i < 3; ++i) detail += "; " + problems[i];
    report_.check(problems.empty(),
                  "the helper's requests are 41, 31, 37 or 55 with a UInt64 \"commandId\" and "
                  "typed keys",
                  detail);
}

void ConformanceChecks::exitCheck() {
    const CommandSpec* entry = Tarvik::CommandTable::find(39);
    if (!entry) return;
    if (!implemented(39)) {
        checkUnimplemented(*entry);
        return;
    }
    const std::string name = label(*entry);
    const std::string what = name + ": valid input is answered";
    if (const auto a = exchange(validRequest(*entry), what))
        report_.check(responseOf(*a) == 0, what, describe(*a));
    helperExitChecked_ = true;
    std::string status;
    const auto until = std::chrono::steady_clock::now() + options_.answerTimeout;
    while (!sandbox_.ended(&status) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(20ms);
    report_.check(
        !status.empty(), name + ": the helper exits after answering",
        status.empty() ? "still running after " + seconds(options_.answerTimeout) : status);
    report_.skip(name + ": retry", "the helper has exited; 39 has no request keys to vary");
}

}  // namespace Conformance
