// The error table against the list the library documents: every code, its text and the
// service status it stands for, in both directions.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include <TarvikFoundation/orvaneplatformexceptionhelper.h>
#include <TarvikFoundation/platform/hstring.h>

#include "common/errorcodes.h"
#include "tarvikfoundation/errortable.h"

using namespace TarvikFoundation;
using Platform::hstring;
using H = OrvanePlatformExceptionHelper;

namespace {

struct Row {
    uint32_t code;
    int32_t status;  // -1: no service status
    const char* message;
};

// Written out by hand, not read from the table under test.
const std::vector<Row>& documentedTable() {
    static const std::vector<Row> rows = {
        {0xE1010001u, -1, "Operation failed with unknown error."},
        {0xE1010002u, -1, "Error while extracting file name from path."},
        {0xE1010003u, -1, "Error while extracting folder name from path."},
        {0xE1010004u, -1, "Invalid File Handle. File creation failed."},
        {0xE1010005u, -1, "Unable to check if path exists."},
        {0xE1010006u, -1, "Input path not found."},
        {0xE1010007u, -1, "Unable to delete specified folder."},
        {0xE1010008u, -1, "Unable to create specified path. Failed at directory level."},
        {0xE1010009u, -1, "Input path is not allowed in Windows FileSystem."},
        {0xE101000Au, -1, "Unable to get StorageFile handle for the given path."},
        {0xE101000Bu, -1, "WSKTetherboxRequest failed."},
        {0xE101000Cu, -1, "Request to ACS failed."},
        {0xE101000Du, -1, "Invalid Logsession handle."},
        {0xE101000Eu, -1, "Unexpected exception in AppServiceConnection."},
        {0xE101000Fu, -1, "Unable to list directory."},
        {0xE1010010u, -1, "Given Path does not correspond to a directory"},
        {0xE1010011u, 1, "General failure status."},
        {0xE1010012u, 2, "Error returned if invalid arguments are passed to an API."},
        {0xE1010013u, 20, "Error returned if the Http request is cancelled."},
        {0xE1010014u, 21, "Error returned if the Http request is timed out."},
        {0xE1010015u, 22, "Error returned if http request fails."},
        {0xE1010016u, 23, "Error returned if http request fails, due to SSL certifiaction error."},
        {0xE1010017u, 24, "Error returned if http request is being made behind proxy."},
        {0xE1010018u, 25, "Error returned if http request failed due to wrong proxy credentials."},
        {0xE1010019u, 26,
         "Error returned if ACSLib fails in accessing IDP server. Probably server is down."},
        {0xE101001Au, 40,
         "Error returned if async call to ACSLib is made when one async http request is already in "
         "progress."},
        {0xE101001Bu, 60,
         "Error returned if ACSLib fails in reading user specific data from the user machine."},
        {0xE101001Cu, 61,
         "Error returned if ACSLib fails in saving user specific data on the user machine."},
        {0xE101001Du, 62,
         "Error returned if ACSLib fails in removing user specific data from the user machine."},
        {0xE101001Eu, 63,
         "Error returned if ACSLib detects that user data is not present on the user machine."},
        {0xE101001Fu, 64,
         "Error returned if ACSLib fails in reading device token from the user machine."},
        {0xE1010020u, 65,
         "Error returned if ACSLib fails in saving device token on the user machine."},
        {0xE1010021u, 66,
         "Error returned if ACSLib fails in removing device token from the user machine."},
        {0xE1010022u, 67, "Error returned if device token is not present on the user machine."},
        {0xE1010023u, 68, "Error returned if invalid device token is present on the user machine."},
        {0xE1010024u, 69,
         "Error returned, if client id information is missing on the user machine."},
        {0xE1010025u, 70,
         "Error returned, if ACSLib fails in fetching user accounts details from the user "
         "machine."},
        {0xE1010026u, 71,
         "Error returned, if ACSLib fails in saving user id for a particular client id."},
        {0xE1010027u, 72, "Error returned if device id is not present on the user machine."},
        {0xE1010028u, 73, "Error returned if there is no default user for client_id"},
        {0xE1010029u, 74, "Error returned if there is no user records are present in rsd.db"},
        {0xE101002Au, 80,
         "Error returned if ACS server returns error code 'access_denied' while generating token."},
        {0xE101002Bu, 81,
         "Error returned if ACS server returns error code 'invalid_request' while generating "
         "token."},
        {0xE101002Cu, 82,
         "Error returned if ACS server returns error code 'invalid_client' while generating "
         "token."},
        {0xE101002Du, 83,
         "Error returned if ACS server returns error code 'invalid_grant' while generating token."},
        {0xE101002Eu, 84,
         "Error returned if ACS server returns error code 'unauthorized_client' while generating "
         "token."},
        {0xE101002Fu, 85,
         "Error returned if ACS server returns error code 'unsupported_response_type' while "
         "generating token."},
        {0xE1010030u, 86,
         "Error returned if ACS server returns error code 'invalid_scope' while generating token."},
        {0xE1010031u, 87,
         "Error returned if ACS server returns error code 'unsupported_grant_type' while "
         "generating token."},
        {0xE1010032u, 88,
         "Error returned if ACS server returns error code 'bad_request' while generating token."},
        {0xE1010033u, 89,
         "Error returned if ACS server returns error code 'invalid_credentials' while generating "
         "token."},
        {0xE1010034u, 100,
         "Error returned if ACSLib fails fetching authentication data from server."},
        {0xE1010035u, 101, "Error returned if ACSLib fails fetching device token from server."},
        {0xE1010036u, 102, "Error returned if ACSLib fails fetching device token from server."},
        {0xE1010037u, 103, "Error returned if ACSLib fails fetching device token from server."},
        {0xE1010038u, 104, "Error returned if ACSLib fails fetching device token from server."},
        {0xE1010039u, 120, "Error returned if TOU has changed. "},
        {0xE101003Au, 121, "Error returned if ACSLib fails in revoking device token. "},
        {0xE101003Bu, 122, "Terms of use acceptance is not current. "},
        {0xE101003Cu, 123, "Email Verification Status does not meet required policy. "},
        {0xE101003Du, 124,
         "Some issue with the user account requires attention/action. i.e. COPPA or some other "
         "issue requiring user action, related to the user account rather than a subscription. "},
        {0xE101003Eu, 125, "Account is currently disabled. "},
        {0xE101003Fu, 126,
         "Some issue with the subscription requires attention/action. i.e. payment error etc. "},
        {0xE1010040u, 127, "No current subscription exists for the user. i.e. closed/removed. "},
        {0xE1010041u, 150, "No buddy_group exists for the client queried. "},
        {0xE1010042u, 151, "Client is already registered for some group other than requested. "},
        {0xE1010043u, 152, "No entry exixts for the group queried. "},
        {0xE1010044u, 153, "Error Occured while saving the buddy-group data "},
        {0xE1010045u, 154, "CName entry not present "},
        {0xE1010046u, 155, "Error Occured while saving the backoff data for the cname "},
        {0xE1010047u, -1, "Unknown error status. "},
    };
    return rows;
}

int32_t signedCode(uint32_t code) {
    return static_cast<int32_t>(code);
}

}  // namespace

TEST(ErrorTable, EveryCodeHasItsDocumentedTextAndStatus) {
    const auto& rows = documentedTable();
    ASSERT_EQ(rows.size(), 71u);
    const auto& table = ErrorTable();
    ASSERT_EQ(table.size(), rows.size());
    uint32_t expectedCode = 0xE1010001;
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.code);
        EXPECT_EQ(row.code, expectedCode++);  // consecutive, no gaps
        const auto found = table.find(signedCode(row.code));
        ASSERT_NE(found, table.end());
        EXPECT_EQ(found->second, row.message);
        EXPECT_EQ(H::GetErrorMessage(signedCode(row.code)), hstring::from_utf8(row.message));
        EXPECT_EQ(H::GetServiceStatus(signedCode(row.code)), row.status < 0 ? 65535 : row.status);
        if (row.status >= 0) {
            EXPECT_EQ(ErrorCodeFromServiceStatus(row.status), signedCode(row.code));
        }
    }
    // Texts as they stand, trailing blanks and all.
    EXPECT_EQ(H::GetErrorMessage(signedCode(0xE1010047)), hstring(L"Unknown error status. "));
    EXPECT_EQ(H::GetErrorMessage(signedCode(0xE1010035)),
              H::GetErrorMessage(signedCode(0xE1010038)));
}

TEST(ErrorTable, CodesOutsideTheTableGetTheFallbackTextAndNoStatus) {
    for (uint32_t code : {0u, 1u, 0xE1010000u, 0xE1010048u, 0x80004005u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(testing::Message() << std::hex << code);
        EXPECT_EQ(H::GetErrorMessage(signedCode(code)),
                  hstring(L"Operation failed with unknown error"));
        EXPECT_EQ(H::GetServiceStatus(signedCode(code)), 65535);
    }
    EXPECT_EQ(H::GetErrorMessage(0).size(), 35u);
    EXPECT_EQ(ErrorTable().size(), 71u);  // looking up never inserts
}

TEST(ErrorTable, StatusesWithoutCodeGiveUnknownStatus) {
    std::map<int32_t, int32_t> documented;
    for (const auto& row : documentedTable())
        if (row.status >= 0) documented[row.status] = signedCode(row.code);
    ASSERT_EQ(documented.size(), 54u);
    for (int32_t status = -2; status <= 70000; ++status) {
        const auto found = documented.find(status);
        const int32_t expected = found == documented.end() ? signedCode(0xE1010047) : found->second;
        ASSERT_EQ(ErrorCodeFromServiceStatus(status), expected) << status;
    }
    for (int32_t status : {INT32_MIN, INT32_MAX})
        EXPECT_EQ(ErrorCodeFromServiceStatus(status), signedCode(0xE1010047)) << status;
}
