#include <gtest/gtest.h>

#include <set>
#include <string>

#include "sess/status.h"
#include "support.h"

using namespace tb1s;

using tb1s_test::bytes;
using tb1s_test::from_hex;

namespace {

TEST(Status, DosPairs)
{
    EXPECT_EQ(tb1s_dos(TB1S_ERRSRV, 231), 0x00E70002u);
    struct row {
        uint32_t nt, dos;
    };
    const row rows[] = {
        {NT_STATUS_SUCCESS, 0},
        {NT_STATUS_INVALID_INFO_CLASS, 0x00080001},
        {NT_STATUS_INVALID_HANDLE, 0x00020001},
        {NT_STATUS_INVALID_PARAMETER, 0x00080001},
        {NT_STATUS_END_OF_FILE, 0x00020001},
        {NT_STATUS_ACCESS_DENIED, 0x00040002},
        {NT_STATUS_OBJECT_NAME_INVALID, 0x00060001},
        {NT_STATUS_OBJECT_NAME_NOT_FOUND, 0x00020001},
        {NT_STATUS_OBJECT_PATH_NOT_FOUND, 0x00060001},
        {NT_STATUS_LOGON_FAILURE, 0x00E70002},
        {NT_STATUS_INSUFFICIENT_RESOURCES, 0x00E70002},
        {NT_STATUS_REQUEST_NOT_SUPPORTED, 0x00010002},
        {NT_STATUS_FILE_IS_A_DIRECTORY, 0x00050001},
        {NT_STATUS_NOT_SUPPORTED, 0x00010002},
        {NT_STATUS_BAD_NETWORK_NAME, 0x00060001},
        {NT_STATUS_NOT_A_DIRECTORY, 0x00050001},
        {NT_STATUS_USER_SESSION_DELETED, 0x00E70002},
        {NT_STATUS_REQUEST_NOT_ACCEPTED, 0x00E70002},
        // Only ever sent in NT form: the "pair" is the status itself.
        {0xC000000F, 0xC000000F},
        {NT_STATUS_MORE_PROCESSING_REQUIRED, NT_STATUS_MORE_PROCESSING_REQUIRED},
        {0xC0001234, 0xC0001234},
    };
    for (const row &r : rows)
        EXPECT_EQ(tb1s_dos_pair(r.nt), r.dos) << std::hex << r.nt << " " << tb1s_status_name(r.nt);
}

TEST(Status, Names)
{
    struct row {
        uint32_t status;
        const char *name;
    };
    const row rows[] = {
        {0, "SUCCESS"},
        {0xC00000CC, "BAD_NETWORK_NAME"},
        {0xC000020C, "REQUEST_NOT_ACCEPTED"},
        {0xC00000A0, "REQUEST_NOT_SUPPORTED"},
        {0xC0000016, "MORE_PROCESSING_REQUIRED"},
        {0x80000006, "NO_MORE_FILES"},
        {0xC000015B, "LOGON_TYPE_NOT_GRANTED"},
        {0xC000000F, "STATUS?"},  // sent, but nameless
        {0x00040002, "DOS_ERROR"},
        {0x7FFF0001, "DOS_ERROR"},
        {0xC0000002, "STATUS?"},
        {0xC00000D0, "STATUS?"},
        {5, "STATUS?"},
        {0x0000FFFF, "STATUS?"},
        {0x80010000, "STATUS?"},
    };
    for (const row &r : rows)
        EXPECT_STREQ(tb1s_status_name(r.status), r.name) << std::hex << r.status;

    std::set<uint32_t> seen;
    for (const tb1s_status_entry &e : k_statuses)
        EXPECT_TRUE(seen.insert(e.status).second) << "listed twice: " << std::hex << e.status;
}

// Names come from the dispatcher's table: served, refused and unknown
// commands alike, and "?" for a code it does not know.
TEST(Status, CommandNames)
{
    EXPECT_STREQ(tb1s_cmd_name(0x00), "CREATE_DIRECTORY");
    EXPECT_STREQ(tb1s_cmd_name(0x1A), "READ_RAW");
    EXPECT_STREQ(tb1s_cmd_name(0x2F), "WRITE_ANDX");
    EXPECT_STREQ(tb1s_cmd_name(0x0A), "?");
    EXPECT_STREQ(tb1s_cmd_name(0x34), "FIND_CLOSE2");
    EXPECT_STREQ(tb1s_cmd_name(0x36), "?");
    EXPECT_STREQ(tb1s_cmd_name(0x72), "NEGOTIATE");
    EXPECT_STREQ(tb1s_cmd_name(0xA2), "NT_CREATE_ANDX");
    EXPECT_STREQ(tb1s_cmd_name(0xFF), "?");
}

TEST(Status, FrameNames)
{
    struct row {
        const char *hex;
        const char *name;
    };
    const row rows[] = {
        {"", "?"},
        {"ff534d", "?"},
        {"ff534d42", "?"},
        {"ff534d4272", "NEGOTIATE"},
        {"ff534d4272000000", "NEGOTIATE"},
        {"ff534d42a2", "NT_CREATE_ANDX"},
        {"ff534d4234", "FIND_CLOSE2"},
        {"ff534d4236", "?"},
        {"fe534d42", "SMB2_NEGOTIATE"},
        {"fe534d420000000040000000", "SMB2_NEGOTIATE"},
        {"ff534d4372", "?"},
        {"00534d4272", "?"},
    };
    for (const row &r : rows) {
        // Exactly sized, so a read past the count is caught by the sanitizer.
        bytes m = from_hex(r.hex);
        EXPECT_STREQ(tb1s_frame_name(m.data(), m.size()), r.name) << r.hex;
    }
    EXPECT_STREQ(tb1s_frame_name(nullptr, 0), "?");
}

}  // namespace
