#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <TarvikFoundation/platform/hstring.h>

namespace Platform {

/// The package this process belongs to, read from the manifest named by
/// TARVIK_PACKAGE_MANIFEST (JSON; see platform/README.md).
struct PackageVersion {
    uint16_t Major = 0, Minor = 0, Build = 0, Revision = 0;
};

/// An app service of the manifest and the program that hosts it in the background.
struct AppServiceDeclaration {
    hstring name;
    std::string hostProgram;  // absolute; empty when the application hosts it in-process
};

/// The current package, read from the manifest named by TARVIK_PACKAGE_MANIFEST.
class Package {
  public:
    // The current package; raises hresult_error when no valid manifest is named.
    static std::shared_ptr<const Package> Current();
    /// Parses a manifest file; raises hresult_invalid_argument with the reason.
    static std::shared_ptr<const Package> Load(const std::string& manifestPath);

    const hstring& FamilyName() const { return familyName_; }
    const PackageVersion& Version() const { return version_; }
    const std::string& ManifestPath() const { return manifestPath_; }
    const std::string& FullTrustProgram() const { return fullTrustProgram_; }
    /// The program registered for a URI scheme (absolute), if any.
    std::optional<std::string> ProgramForScheme(const std::string& scheme) const;
    std::optional<AppServiceDeclaration> FindAppService(const hstring& name) const;
    /// The client program that "clientPrograms" declares under `name` (absolute), if any.
    std::optional<std::string> ClientProgram(const std::string& name) const;
    // The cart client ("cartClient", absolute); empty when none is declared.
    const std::string& CartClientProgram() const { return cartClient_; }

  private:
    hstring familyName_;
    PackageVersion version_;
    std::string manifestPath_;
    std::string fullTrustProgram_;
    std::map<std::string, std::string> schemes_;
    std::map<std::string, std::string> clients_;
    std::string cartClient_;
    std::vector<AppServiceDeclaration> services_;
};

}  // namespace Platform
