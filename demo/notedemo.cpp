#include "demo/notedemo.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <TarvikFoundation/orvanefilemanager.h>
#include <TarvikFoundation/platform/filetokenredeemer.h>

namespace TarvikDemo {

using Platform::FileTokenRedeemer;
using Platform::hstring;
using TarvikFoundation::OrvaneFileManager;

void writeAndReadNote() {
    const char* home = std::getenv("HOME");
    if (!home || *home != '/') {
        std::printf("no home folder is known, so no note is written\n");
        return;
    }
    const std::string path = std::string(home) + "/TarvikDemo/note.txt";
    const std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&now));
    const std::string note = std::string("Written by tarvik-demo at ") + stamp + "\n";
    auto files = OrvaneFileManager::GetInstance();
    try {
        const hstring writing = files->GetFileTokenAsync(hstring::from_utf8(path), 1, true).get();
        {
            auto out = FileTokenRedeemer::RedeemAsync(writing).get();
            out->SetSize(0);
            out->Write(std::as_bytes(std::span(note.data(), note.size())));
        }
        const hstring reading = files->GetFileTokenAsync(hstring::from_utf8(path), 0).get();
        auto in = FileTokenRedeemer::RedeemAsync(reading).get();
        std::string back(static_cast<std::size_t>(in->Size()), '\0');
        back.resize(in->Read(std::as_writable_bytes(std::span(back.data(), back.size()))));
        std::printf("wrote a note into %s and read it back through a redeemed file token: %s%s",
                    path.c_str(), back.c_str(), back == note ? "" : "(it differs!)\n");
    } catch (const Platform::hresult_error& e) {
        std::printf("the note in %s could not be written and read back: 0x%08X %s\n", path.c_str(),
                    static_cast<unsigned>(e.code()), e.message().to_utf8().c_str());
    }
}

}  // namespace TarvikDemo
