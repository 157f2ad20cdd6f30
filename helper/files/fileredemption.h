#pragma once
// Redeeming a file token for an open file, served to the application over the
// platform's redemption socket. A token redeems only from its own package's store,
// only while it lives, only in its own mode ("read" opens read-only, "write" opens
// read-write without truncating), and only while its file still lies in a served
// folder with no link beneath that folder. Refusals carry a file error code:
// unknown, foreign, expired or asked in another mode 0xE101000A; left the served
// folders or reached through a link 0xE1010009; gone 0xE1010006; not a plain file
// 0xE101000A; cannot be opened 0xE1010004.
#include <memory>
#include <string>

#include <TarvikFoundation/platform/redeemedfile.h>

#include "helper/files/fileoperations.h"
#include "platform/filetokenwire.h"

namespace TarvikHelper {

FileResult<std::unique_ptr<Platform::RedeemedFile>> redeemFileToken(
    const FileRoots& roots, const FileTokens& tokens, const std::string& token,
    Platform::FileAccessMode wanted);

// The answer the redemption socket sends: the refusal is logged with its reason.
Platform::FileTokenWire::Answer answerRedemption(const FileRoots& roots, const FileTokens& tokens,
                                                 const Platform::FileTokenWire::Request& request);

}  // namespace TarvikHelper
