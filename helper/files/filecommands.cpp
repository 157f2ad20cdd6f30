// Commands 0 to 4: file tokens, the three folder operations and listings.
#include <string>

#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "helper/files/fileoperations.h"
#include "helper/requestentries.h"
#include "helper/responses.h"
#include "helper/servicecommands.h"

namespace TarvikHelper {

using Platform::hstring;
using Platform::ValueSet;
using namespace Tarvik;

namespace {

// The failure's text holds the application's path: its log line is bounded, since one
// past the logger's line size would lose its newline and take in the next entry.
int loggedLength(const std::string& text) {
    constexpr std::size_t kLoggedBytes = 1024;
    if (text.size() <= kLoggedBytes) return static_cast<int>(text.size());
    std::size_t end = kLoggedBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return static_cast<int>(end);
}

ValueSet refused(const FileFailure& failure) {
    TLOG("WRN", "%.*s", loggedLength(failure.text), failure.text.c_str());
    ValueSet response = createResponse(false);
    response.Insert(Keys::kResult, int32_t{1});
    response.Insert(Keys::kErrorCode, failure.code);
    response.Insert(keyOf(CommandKeys::kFileError), hstring::from_utf8(failure.text));
    response.Insert(kReasonKey, hstring::from_utf8(failure.text));
    return response;
}

// Answers with `fill` on success and with the failure's code and text otherwise.
template <class T, class Fill>
ValueSet answer(const FileResult<T>& result, Fill fill) {
    if (const auto* failure = std::get_if<FileFailure>(&result)) return refused(*failure);
    ValueSet response = createResponse(true);
    fill(response, std::get<T>(result));
    return response;
}

ValueSet folderAnswer(const FileResult<bool>& result) {
    return answer(result, [](ValueSet& response, bool yes) {
        response.Insert(Keys::kResult, static_cast<int32_t>(yes ? 0 : 1));
    });
}

bool isTrue(const std::string& text) {
    return text == "true" || text == "True" || text == "1";
}

}  // namespace

void registerFileCommands(HelperCommands& commands, HelperServices& services) {
    FileTokens& tokens = services.tokens;
    const FileRoots& roots = services.fileRoots;
    commands.add(Commands::kGetFileToken, [&roots, &tokens](const ValueSet& request) {
        const std::string mode = textOrEmpty(request, CommandKeys::kFileMode);
        return answer(
            issueFileToken(roots, tokens, textOrEmpty(request, CommandKeys::kFilePath),
                           mode.empty() ? "read" : mode,
                           isTrue(textOrEmpty(request, CommandKeys::kFileCreateDirectory))),
            [](ValueSet& response, const std::string& token) {
                response.Insert(Keys::kResult, int32_t{0});
                response.Insert(keyOf(CommandKeys::kFileToken), hstring::from_utf8(token));
            });
    });
    commands.add(Commands::kFolderOperation1, [&roots](const ValueSet& request) {
        return folderAnswer(folderExists(roots, textOrEmpty(request, CommandKeys::kFilePath)));
    });
    commands.add(Commands::kFolderOperation2, [&roots](const ValueSet& request) {
        return folderAnswer(createFolder(roots, textOrEmpty(request, CommandKeys::kFilePath)));
    });
    commands.add(Commands::kFolderOperation3, [&roots](const ValueSet& request) {
        return folderAnswer(deleteFolder(roots, textOrEmpty(request, CommandKeys::kFilePath)));
    });
    commands.add(Commands::kListFilesFromPath, [&roots](const ValueSet& request) {
        return answer(listFolder(roots, textOrEmpty(request, CommandKeys::kFilePath),
                                 isTrue(textOrEmpty(request, CommandKeys::kDoRecursiveListing))),
                      [](ValueSet& response, const std::string& listing) {
                          response.Insert(Keys::kResult, int32_t{0});
                          response.Insert(keyOf(CommandKeys::kDirectoryListing),
                                          hstring::from_utf8(listing));
                      });
    });
}

}  // namespace TarvikHelper
