#include "tarvikfoundation/errortable.h"

#include <array>
#include <utility>

#include "common/errorcodes.h"

namespace TarvikFoundation {

namespace {

using Tarvik::Errors::code;

const std::map<int32_t, std::string>& buildTable() {
    static const std::map<int32_t, std::string> table = [] {
        const std::pair<uint32_t, const char*> entries[] = {
            {0x01, "Operation failed with unknown error."},
            {0x02, "Error while extracting file name from path."},
            {0x03, "Error while extracting folder name from path."},
            {0x04, "Invalid File Handle. File creation failed."},
            {0x05, "Unable to check if path exists."},
            {0x06, "Input path not found."},
            {0x07, "Unable to delete specified folder."},
            {0x08, "Unable to create specified path. Failed at directory level."},
            {0x09, "Input path is not allowed in Windows FileSystem."},
            {0x0A, "Unable to get StorageFile handle for the given path."},
            {0x0B, "WSKTetherboxRequest failed."},
            {0x0C, "Request to ACS failed."},
            {0x0D, "Invalid Logsession handle."},
            {0x0E, "Unexpected exception in AppServiceConnection."},
            {0x0F, "Unable to list directory."},
            {0x10, "Given Path does not correspond to a directory"},
            {0x11, "General failure status."},
            {0x12, "Error returned if invalid arguments are passed to an API."},
            {0x13, "Error returned if the Http request is cancelled."},
            {0x14, "Error returned if the Http request is timed out."},
            {0x15, "Error returned if http request fails."},
            {0x16, "Error returned if http request fails, due to SSL certifiaction error."},
            {0x17, "Error returned if http request is being made behind proxy."},
            {0x18, "Error returned if http request failed due to wrong proxy credentials."},
            {0x19,
             "Error returned if ACSLib fails in accessing IDP server. Probably server is down."},
            {0x1A,
             "Error returned if async call to ACSLib is made when one async http request is "
             "already in progress."},
            {0x1B,
             "Error returned if ACSLib fails in reading user specific data from the user "
             "machine."},
            {0x1C,
             "Error returned if ACSLib fails in saving user specific data on the user machine."},
            {0x1D,
             "Error returned if ACSLib fails in removing user specific data from the user "
             "machine."},
            {0x1E,
             "Error returned if ACSLib detects that user data is not present on the user "
             "machine."},
            {0x1F, "Error returned if ACSLib fails in reading device token from the user machine."},
            {0x20, "Error returned if ACSLib fails in saving device token on the user machine."},
            {0x21,
             "Error returned if ACSLib fails in removing device token from the user machine."},
            {0x22, "Error returned if device token is not present on the user machine."},
            {0x23, "Error returned if invalid device token is present on the user machine."},
            {0x24, "Error returned, if client id information is missing on the user machine."},
            {0x25,
             "Error returned, if ACSLib fails in fetching user accounts details from the "
             "user machine."},
            {0x26, "Error returned, if ACSLib fails in saving user id for a particular client id."},
            {0x27, "Error returned if device id is not present on the user machine."},
            {0x28, "Error returned if there is no default user for client_id"},
            {0x29, "Error returned if there is no user records are present in rsd.db"},
            {0x2A,
             "Error returned if ACS server returns error code 'access_denied' while "
             "generating token."},
            {0x2B,
             "Error returned if ACS server returns error code 'invalid_request' while "
             "generating token."},
            {0x2C,
             "Error returned if ACS server returns error code 'invalid_client' while "
             "generating token."},
            {0x2D,
             "Error returned if ACS server returns error code 'invalid_grant' while "
             "generating token."},
            {0x2E,
             "Error returned if ACS server returns error code 'unauthorized_client' while "
             "generating token."},
            {0x2F,
             "Error returned if ACS server returns error code 'unsupported_response_type' "
             "while generating token."},
            {0x30,
             "Error returned if ACS server returns error code 'invalid_scope' while "
             "generating token."},
            {0x31,
             "Error returned if ACS server returns error code 'unsupported_grant_type' while "
             "generating token."},
            {0x32,
             "Error returned if ACS server returns error code 'bad_request' while "
             "generating token."},
            {0x33,
             "Error returned if ACS server returns error code 'invalid_credentials' while "
             "generating token."},
            {0x34, "Error returned if ACSLib fails fetching authentication data from server."},
            {0x35, "Error returned if ACSLib fails fetching device token from server."},
            {0x36, "Error returned if ACSLib fails fetching device token from server."},
            {0x37, "Error returned if ACSLib fails fetching device token from server."},
            {0x38, "Error returned if ACSLib fails fetching device token from server."},
            {0x39, "Error returned if TOU has changed. "},
            {0x3A, "Error returned if ACSLib fails in revoking device token. "},
            {0x3B, "Terms of use acceptance is not current. "},
            {0x3C, "Email Verification Status does not meet required policy. "},
            {0x3D,
             "Some issue with the user account requires attention/action. i.e. COPPA or "
             "some other issue requiring user action, related to the user account rather "
             "than a subscription. "},
            {0x3E, "Account is currently disabled. "},
            {0x3F,
             "Some issue with the subscription requires attention/action. i.e. payment "
             "error etc. "},
            {0x40, "No current subscription exists for the user. i.e. closed/removed. "},
            {0x41, "No buddy_group exists for the client queried. "},
            {0x42, "Client is already registered for some group other than requested. "},
            {0x43, "No entry exixts for the group queried. "},
            {0x44, "Error Occured while saving the buddy-group data "},
            {0x45, "CName entry not present "},
            {0x46, "Error Occured while saving the backoff data for the cname "},
            {0x47, "Unknown error status. "},
        };
        std::map<int32_t, std::string> m;
        for (const auto& [number, message] : entries) m.emplace(code(number), message);
        return m;
    }();
    return table;
}

// Built at load, before any runtime class is activated.
const bool g_built = (buildTable(), true);

// Status ranges in table order; they map onto consecutive codes from 0xE1010011.
constexpr std::array<std::pair<int32_t, int32_t>, 8> kStatusRanges = {{
    {1, 2},
    {20, 26},
    {40, 40},
    {60, 74},
    {80, 89},
    {100, 104},
    {120, 127},
    {150, 155},
}};

}  // namespace

const std::map<int32_t, std::string>& ErrorTable() {
    return buildTable();
}

int32_t ServiceStatusFromErrorCode(int32_t errorCode) noexcept {
    int32_t next = Tarvik::Errors::kFirstServiceStatus;
    for (const auto& [lo, hi] : kStatusRanges) {
        const int32_t span = hi - lo + 1;
        if (errorCode >= next && errorCode < next + span) return lo + (errorCode - next);
        next += span;
    }
    return Tarvik::Errors::kNoServiceStatus;
}

int32_t ErrorCodeFromServiceStatus(int32_t status) noexcept {
    if (status > 65534) return Tarvik::Errors::kUnknownStatus;
    int32_t next = Tarvik::Errors::kFirstServiceStatus;
    for (const auto& [lo, hi] : kStatusRanges) {
        if (status >= lo && status <= hi) return next + (status - lo);
        next += hi - lo + 1;
    }
    return Tarvik::Errors::kUnknownStatus;
}

}  // namespace TarvikFoundation
