#pragma once
#include <memory>
#include <string>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/valueset.h>

namespace Platform {

/// Settings kept in one file that is replaced atomically on every change, so a
/// reader in another process never sees it half written.
class TARVIK_API LocalSettings {
  public:
    explicit LocalSettings(std::string file) : file_(std::move(file)) {}
    void Insert(const hstring& key, const PropertyValue& value) const;
    bool Remove(const hstring& key) const;
    std::optional<PropertyValue> Lookup(const hstring& key) const;
    ValueSet Values() const;  // a snapshot
    const std::string& file() const { return file_; }

  private:
    ValueSet load() const;
    void save(const ValueSet& values) const;
    std::string file_;
};

/// The package's data folders and its local settings, under
/// `$XDG_DATA_HOME/tarvik/<family name>/` (`~/.local/share` when unset).
class TARVIK_API ApplicationData {
  public:
    // For the current package (Package::Current()).
    static std::shared_ptr<ApplicationData> Current();
    static std::shared_ptr<ApplicationData> ForPackage(const hstring& familyName);

    // $XDG_DATA_HOME/tarvik (~/.local/share/tarvik when unset): every package's data
    // lives below it.
    static std::string UserDataRoot();

    const std::string& LocalFolder() const { return local_; }
    const std::string& TemporaryFolder() const { return temporary_; }
    const std::string& LocalCacheFolder() const { return localCache_; }
    const LocalSettings& Settings() const { return settings_; }

    explicit ApplicationData(const std::string& root);

  private:
    std::string local_;
    std::string temporary_;
    std::string localCache_;
    LocalSettings settings_;
};

}  // namespace Platform
