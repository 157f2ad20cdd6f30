#pragma once
/// @file
/// Activation by name: the handle an activation hands out, the factory behind each
/// runtime class, and the module's count of live objects that DllCanUnloadNow reports.
#include <atomic>
#include <cstdint>
#include <memory>
#include <typeindex>
#include <utility>
#include <vector>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/hresult.h>
#include <TarvikFoundation/platform/hstring.h>

namespace Platform {

/// Success.
inline constexpr hresult S_OK_ = 0;
/// Success, answered no (DllCanUnloadNow: objects are alive).
inline constexpr hresult S_FALSE_ = 1;
/// A required pointer was null.
inline constexpr hresult E_POINTER_ = static_cast<hresult>(0x80004003);
/// No runtime class of that name.
inline constexpr hresult REGDB_E_CLASSNOTREG_ = static_cast<hresult>(0x80040154);

/// One reference to an activated object, with the runtime class name and the
/// interfaces it can be viewed as. Copies share the object.
class TARVIK_API IInspectable {
  public:
    IInspectable() = default;

    /// Wraps an object of class T that can also be viewed as each of Interfaces.
    template <class T, class... Interfaces>
    static IInspectable wrap(std::shared_ptr<T> object, hstring runtimeClassName) {
        IInspectable result;
        result.name_ = std::move(runtimeClassName);
        result.views_.push_back({typeid(T), object});
        (result.views_.push_back(
             {typeid(Interfaces), std::static_pointer_cast<Interfaces>(object)}),
         ...);
        return result;
    }

    /// The object's full runtime class name.
    const hstring& GetRuntimeClassName() const noexcept { return name_; }
    /// Whether this refers to an object.
    explicit operator bool() const noexcept { return !views_.empty(); }
    /// The object's address: equal for two handles to the same object.
    const void* identity() const noexcept {
        return views_.empty() ? nullptr : views_.front().pointer.get();
    }

    /// The object as I, or null when it does not implement I.
    template <class I>
    std::shared_ptr<I> try_as() const {
        for (const auto& view : views_)
            if (view.type == typeid(I)) return std::static_pointer_cast<I>(view.pointer);
        return nullptr;
    }
    /// The object as I; raises hresult_no_interface when it does not implement I.
    template <class I>
    std::shared_ptr<I> as() const {
        auto result = try_as<I>();
        if (!result)
            throw hresult_no_interface(name_ + L" does not implement the interface asked for");
        return result;
    }

  private:
    struct View {
        std::type_index type;
        std::shared_ptr<void> pointer;
    };
    std::vector<View> views_;
    hstring name_;
};

/// The factory of one runtime class. Factories live as long as the library that
/// hands them out; callers never delete them.
class TARVIK_API IActivationFactory {
  public:
    virtual ~IActivationFactory() = default;
    /// The full name of the class this factory makes.
    virtual const hstring& RuntimeClassName() const noexcept = 0;
    /// A new object, or the process's one instance for a class that has one. Raises
    /// hresult_not_implemented for a class without a default constructor.
    virtual IInspectable ActivateInstance() const = 0;

    /// The factory viewed as one of its class's constructor or statics interfaces;
    /// raises hresult_no_interface when the class has no such interface.
    template <class I>
    const I& as() const {
        if (const auto* view = dynamic_cast<const I*>(this)) return *view;
        throw hresult_no_interface(RuntimeClassName() + L" has no such factory interface");
    }
};

/// Counts the module's live runtime-class objects. A base of every runtime class;
/// the process-wide instances count for as long as they live, which is the process.
class TARVIK_API ModuleObject {
  public:
    /// Runtime-class objects alive now.
    static uint32_t liveObjects() noexcept { return count().load(std::memory_order_acquire); }

  protected:
    ModuleObject() noexcept { count().fetch_add(1, std::memory_order_relaxed); }
    /// A copy is one more live object.
    ModuleObject(const ModuleObject&) noexcept : ModuleObject() {}
    /// Assignment changes no count.
    ModuleObject& operator=(const ModuleObject&) noexcept { return *this; }
    ~ModuleObject() { count().fetch_sub(1, std::memory_order_release); }

  private:
    static std::atomic<uint32_t>& count() noexcept;
};

}  // namespace Platform
