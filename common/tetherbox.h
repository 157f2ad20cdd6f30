#pragma once
// The XML the account service speaks on both sides: the envelope of a sign-in request
// and of its answer, and the fields of a user's data. Every reader takes text from the
// other process and never raises.
#include <optional>
#include <string>

namespace Tarvik::Tetherbox {

// The application's sign-in request ("showZEL", id 2).
std::string signInRequest();

struct Call {
    std::string id;
    std::string function;
};
// The request of an envelope; nullopt when the text is no envelope with a request.
std::optional<Call> readRequest(const std::string& xml);

// The helper's answer to `call`, carrying `value`.
std::string response(const Call& call, int value);

struct Answer {
    enum class Status { Unreadable, NoValue, NotANumber, Value };
    Status status = Status::Unreadable;
    int value = 0;
    std::string text;  // the value's text as it stood
};
Answer readResponse(const std::string& xml);

// The text of the node an XPath selects; empty when the document or the node is
// missing or the XPath is not one.
std::string textAt(const std::string& xml, const char* xpath);

}  // namespace Tarvik::Tetherbox
