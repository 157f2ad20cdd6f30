#pragma once
// A package of its own for each lifecycle test: manifest, data and runtime folders.
#include <boost/filesystem.hpp>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include <TarvikFoundation/platform/hstring.h>

#include "common/logger.h"
#include "testsupport.h"

namespace TestSupport {

class TestPackage {
  public:
    // `schemes` registers further URI schemes: name and program.
    explicit TestPackage(const std::string& family, bool withHost = true,
                         const std::map<std::string, std::string>& schemes = {})
        : family_(family) {
        // The platform reads these on pool threads: safe to change only because every
        // test ends the launches and opens it started before it returns.
        ::setenv("XDG_RUNTIME_DIR", dir_.file("run").c_str(), 1);
        ::setenv("XDG_DATA_HOME", dir_.file("data").c_str(), 1);
        boost::filesystem::create_directories(dir_.file("run"));
        std::ofstream out(dir_.file("manifest.json"));
        out << "{\"familyName\": \"" << family << "\", \"version\": \"3.4.5.6\",\n"
            << " \"fullTrustProgram\": \"" << TARVIK_HELPER_PATH << "\",\n"
            << " \"uriSchemes\": {\"tarvik-test\": \"" << TARVIK_HELPER_PATH << "\"";
        for (const auto& [scheme, program] : schemes)
            out << ", \"" << scheme << "\": \"" << program << "\"";
        out << "},\n"
            << " \"appServices\": [{\"name\": \"svc\""
            << (withHost ? std::string(", \"host\": \"") + TARVIK_APPHOST_PATH + "\"" : "")
            << "}]}\n";
        out.close();
        ::setenv("TARVIK_PACKAGE_MANIFEST", dir_.file("manifest.json").c_str(), 1);
        // The logger keeps an open file; point it at this package's log before closing it,
        // so a late line of an earlier test cannot reopen the old path.
        Tarvik::SetLogFilePath(Platform::utf8_to_wide(temporaryFolder() + "/TRVK.log"));
        Tarvik::CloseLogFile();
    }
    std::string dataFolder() const { return dir_.file("data") + "/tarvik/" + family_; }
    std::string temporaryFolder() const { return dataFolder() + "/TempState"; }
    // Every process's log of this package, to print when a test across processes fails:
    // the folder is gone once the test ends.
    std::string logs() const {
        std::string all;
        boost::system::error_code ec;
        for (boost::filesystem::directory_iterator it(temporaryFolder(), ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->path().extension() != ".log") continue;
            all += "--- " + it->path().filename().string() + "\n" + readFile(it->path().string());
        }
        return all;
    }
    const TempDir& dir() const { return dir_; }

  private:
    TempDir dir_;
    std::string family_;
};

}  // namespace TestSupport
