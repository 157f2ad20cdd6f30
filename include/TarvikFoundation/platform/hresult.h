#pragma once
#include <cstdint>
#include <exception>
#include <string>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/hstring.h>

namespace Platform {

/// An error or success code in the 32-bit HRESULT form: negative is failure.
using hresult = int32_t;

/// Unspecified failure.
inline constexpr hresult E_FAIL_ = static_cast<hresult>(0x80004005);
/// An argument was refused.
inline constexpr hresult E_INVALIDARG_ = static_cast<hresult>(0x80070057);
/// Not implemented (a class without a default constructor, an unknown command).
inline constexpr hresult E_NOTIMPL_ = static_cast<hresult>(0x80004001);
/// A value or object viewed as a type it is not.
inline constexpr hresult E_NOINTERFACE_ = static_cast<hresult>(0x80004002);
/// A key or index not present.
inline constexpr hresult E_BOUNDS_ = static_cast<hresult>(0x8000000B);
/// An operation the object's state does not allow.
inline constexpr hresult E_ILLEGAL_STATE_CHANGE_ = static_cast<hresult>(0x8000000D);
/// The object has been closed.
inline constexpr hresult RO_E_CLOSED_ = static_cast<hresult>(0x80000013);
/// The operation was cancelled.
inline constexpr hresult ERROR_CANCELLED_ = static_cast<hresult>(0x800704C7);
/// The factory cannot make that class.
inline constexpr hresult CLASS_E_CLASSNOTAVAILABLE_ = static_cast<hresult>(0x80040111);

/// Error objects of the platform: a 32-bit HRESULT-form code and a message.
class TARVIK_API hresult_error : public std::exception {
  public:
    /// An error of that code with the code's default message.
    explicit hresult_error(hresult code) : code_(code), message_(default_message(code)) {}
    /// An error of that code with its own message.
    hresult_error(hresult code, hstring message) : code_(code), message_(std::move(message)) {}

    /// The 32-bit code, e.g. 0xE1010006.
    hresult code() const noexcept { return code_; }
    /// The message given, or the code's default one.
    const hstring& message() const noexcept { return message_; }
    /// The message as UTF-8.
    const char* what() const noexcept override;

  private:
    static hstring default_message(hresult code);
    hresult code_;
    hstring message_;
    mutable std::string what_;
};

/// Raised for an argument the callee refuses (0x80070057).
struct TARVIK_API hresult_invalid_argument : hresult_error {
    hresult_invalid_argument() : hresult_error(E_INVALIDARG_) {}
    /// With a message of its own.
    explicit hresult_invalid_argument(hstring m) : hresult_error(E_INVALIDARG_, std::move(m)) {}
};

/// Raised for an operation the object does not offer (0x80004001).
struct TARVIK_API hresult_not_implemented : hresult_error {
    hresult_not_implemented() : hresult_error(E_NOTIMPL_) {}
    /// With a message of its own.
    explicit hresult_not_implemented(hstring m) : hresult_error(E_NOTIMPL_, std::move(m)) {}
};

/// Raised when a method is called on an object that has been closed.
struct TARVIK_API hresult_object_closed : hresult_error {
    hresult_object_closed() : hresult_error(RO_E_CLOSED_) {}
    /// With a message of its own.
    explicit hresult_object_closed(hstring m) : hresult_error(RO_E_CLOSED_, std::move(m)) {}
};

/// Raised when a boxed value is read as a type it does not hold.
struct TARVIK_API hresult_no_interface : hresult_error {
    hresult_no_interface() : hresult_error(E_NOINTERFACE_) {}
    /// With a message of its own.
    explicit hresult_no_interface(hstring m) : hresult_error(E_NOINTERFACE_, std::move(m)) {}
};

/// Raised by a lookup of a key that is absent.
struct TARVIK_API hresult_out_of_bounds : hresult_error {
    hresult_out_of_bounds() : hresult_error(E_BOUNDS_) {}
    /// With a message of its own.
    explicit hresult_out_of_bounds(hstring m) : hresult_error(E_BOUNDS_, std::move(m)) {}
};

/// Raised for an operation that the object's state does not allow (0x8000000D).
struct TARVIK_API hresult_illegal_state_change : hresult_error {
    hresult_illegal_state_change() : hresult_error(E_ILLEGAL_STATE_CHANGE_) {}
    /// With a message of its own.
    explicit hresult_illegal_state_change(hstring m)
        : hresult_error(E_ILLEGAL_STATE_CHANGE_, std::move(m)) {}
};

/// Raised for an operation that was cancelled (0x800704C7).
struct TARVIK_API hresult_canceled : hresult_error {
    hresult_canceled() : hresult_error(ERROR_CANCELLED_) {}
};

/// Thrown out of a task body or a blocking get() when the task ended cancelled.
class TARVIK_API task_canceled : public std::exception {
  public:
    /// "task canceled".
    const char* what() const noexcept override { return "task canceled"; }
};

/// The code of an arbitrary in-flight exception, for boundaries that report codes only.
TARVIK_API hresult to_hresult(const std::exception_ptr& e) noexcept;

}  // namespace Platform
