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
    /// Settings kept in `file` (made when first written).
    explicit LocalSettings(std::string file) : file_(std::move(file)) {}
    /// Sets a value and writes the file.
    void Insert(const hstring& key, const PropertyValue& value) const;
    /// Removes a value; true when it was there.
    bool Remove(const hstring& key) const;
    /// The value under key, read from the file; nullopt when absent.
    std::optional<PropertyValue> Lookup(const hstring& key) const;
    /// A snapshot of every value.
    ValueSet Values() const;  // a snapshot
    /// The settings file.
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
    /// For the current package (Package::Current()).
    static std::shared_ptr<ApplicationData> Current();
    /// For the package of that family name.
    static std::shared_ptr<ApplicationData> ForPackage(const hstring& familyName);

    /// $XDG_DATA_HOME/tarvik (~/.local/share/tarvik when unset): every package's data
    /// lives below it.
    static std::string UserDataRoot();

    /// `LocalState` of the package.
    const std::string& LocalFolder() const { return local_; }
    /// `TempState` of the package: the logs and "logLevel.txt".
    const std::string& TemporaryFolder() const { return temporary_; }
    /// `LocalCache` of the package: the connection lock file.
    const std::string& LocalCacheFolder() const { return localCache_; }
    /// `Settings/settings.json` of the package.
    const LocalSettings& Settings() const { return settings_; }

    /// The folders below `root`, the package's own folder.
    explicit ApplicationData(const std::string& root);

  private:
    std::string local_;
    std::string temporary_;
    std::string localCache_;
    LocalSettings settings_;
};

}  // namespace Platform
