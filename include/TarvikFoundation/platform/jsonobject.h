#pragma once
#include <nlohmann/json.hpp>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/hstring.h>

namespace Platform {

/// One JSON object with the typed member accessors of the platform's JSON classes.
class TARVIK_API JsonObject {
  public:
    /// Wraps an object value; raises hresult_error (E_ILLEGAL_METHOD_CALL) for anything else.
    static JsonObject FromJson(nlohmann::json value);

    /// The number member `name`. Raises hresult_error: WEB_E_JSON_VALUE_NOT_FOUND for a
    /// missing member and E_ILLEGAL_METHOD_CALL for a member of another type.
    double GetNamedNumber(const hstring& name) const;
    /// The string member `name`; raises as GetNamedNumber.
    hstring GetNamedString(const hstring& name) const;

  private:
    explicit JsonObject(nlohmann::json value) : value_(std::move(value)) {}
    const nlohmann::json& member(const hstring& name) const;
    nlohmann::json value_;
};

}  // namespace Platform
