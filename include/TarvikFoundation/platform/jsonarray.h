#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/hstring.h>
#include <TarvikFoundation/platform/jsonobject.h>

namespace Platform {

/// A parsed JSON array with the typed accessors of the platform's JSON classes.
class TARVIK_API JsonArray {
  public:
    JsonArray() : value_(nlohmann::json::array()) {}
    /// Raises hresult_error (WEB_E_INVALID_JSON_STRING) for text that is not a JSON array.
    static JsonArray Parse(const hstring& text);
    /// Wraps an array value; raises hresult_invalid_argument for anything else.
    static JsonArray FromJson(nlohmann::json value);

    /// Number of elements.
    uint32_t Size() const noexcept { return static_cast<uint32_t>(value_.size()); }
    /// Raises hresult_out_of_bounds past the end and hresult_error
    /// (E_ILLEGAL_METHOD_CALL) for an element that is not a string.
    hstring GetStringAt(uint32_t index) const;
    /// Raises hresult_out_of_bounds past the end and hresult_error (E_ILLEGAL_METHOD_CALL)
    /// for an element that is not an object.
    JsonObject GetObjectAt(uint32_t index) const;
    /// The array as compact JSON text.
    hstring Stringify() const;
    /// The parsed value.
    const nlohmann::json& json() const noexcept { return value_; }

  private:
    explicit JsonArray(nlohmann::json value) : value_(std::move(value)) {}
    nlohmann::json value_;
};

}  // namespace Platform
