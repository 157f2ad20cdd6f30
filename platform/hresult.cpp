#include <new>
#include <stdexcept>

#include <TarvikFoundation/platform/hresult.h>

namespace Platform {

const char* hresult_error::what() const noexcept {
    try {
        if (what_.empty()) what_ = message_.to_utf8();
        return what_.c_str();
    } catch (...) {
        return "hresult_error";
    }
}

hstring hresult_error::default_message(hresult code) {
    switch (code) {
        case E_INVALIDARG_:
            return L"The parameter is incorrect.";
        case E_NOTIMPL_:
            return L"Not implemented";
        case E_NOINTERFACE_:
            return L"No such interface supported";
        case E_BOUNDS_:
            return L"The operation attempted to access data outside the valid range";
        case E_ILLEGAL_STATE_CHANGE_:
            return L"A state change is not allowed in the current state";
        case RO_E_CLOSED_:
            return L"The object has been closed.";
        case ERROR_CANCELLED_:
            return L"The operation was canceled by the user.";
        case CLASS_E_CLASSNOTAVAILABLE_:
            return L"ClassFactory cannot supply requested class";
        default:
            return L"";
    }
}

hresult to_hresult(const std::exception_ptr& e) noexcept {
    if (!e) return 0;
    try {
        std::rethrow_exception(e);
    } catch (const hresult_error& h) {
        return h.code();
    } catch (const task_canceled&) {
        return ERROR_CANCELLED_;
    } catch (const std::bad_alloc&) {
        return static_cast<hresult>(0x8007000E);
    } catch (const std::invalid_argument&) {
        return E_INVALIDARG_;
    } catch (const std::out_of_range&) {
        return E_BOUNDS_;
    } catch (...) {
        return E_FAIL_;
    }
}

}  // namespace Platform
