#include "sess/status.h"

#include <array>

namespace tb1s {

namespace {

struct cmd_row {
    uint8_t code;
    const char *name;
};

constexpr cmd_row k_cmd_rows[] = {
    {0x00, "CREATE_DIRECTORY"},
    {0x01, "DELETE_DIRECTORY"},
    {0x02, "OPEN"},
    {0x03, "CREATE"},
    {0x04, "CLOSE"},
    {0x05, "FLUSH"},
    {0x06, "DELETE"},
    {0x07, "RENAME"},
    {0x08, "QUERY_INFORMATION"},
    {0x09, "SET_INFORMATION"},
    {0x0B, "WRITE"},
    {0x0C, "LOCK_BYTE_RANGE"},
    {0x0D, "UNLOCK_BYTE_RANGE"},
    {0x10, "CHECK_DIRECTORY"},
    {0x13, "SET_INFORMATION2"},
    {0x1A, "READ_RAW"},
    {0x24, "LOCK_ANDX"},
    {0x25, "TRANS"},
    {0x26, "TRANS_SECONDARY"},
    {0x29, "COPY"},
    {0x2A, "MOVE"},
    {0x2B, "ECHO"},
    {0x2C, "WRITE_CLOSE"},
    {0x2D, "OPEN_ANDX"},
    {0x2E, "READ_ANDX"},
    {0x2F, "WRITE_ANDX"},
    {0x31, "WRITE_RAW"},
    {0x32, "TRANS2"},
    {0x33, "TRANS2_SECONDARY"},
    {0x36, "FIND_CLOSE2"},  // filed under 0x36 on purpose; dispatch treats 0x36 the same way
    {0x71, "TREE_DISCONNECT"},
    {0x72, "NEGOTIATE"},
    {0x73, "SESSION_SETUP_ANDX"},
    {0x74, "LOGOFF_ANDX"},
    {0x75, "TREE_CONNECT_ANDX"},
    {0xA0, "NT_TRANSACT"},
    {0xA1, "NT_TRANSACT_SECONDARY"},
    {0xA2, "NT_CREATE_ANDX"},
};

// The command-name table, indexed by the command byte.
constexpr std::array<const char *, 256> k_cmd_names = [] {
    std::array<const char *, 256> t{};
    for (auto &name : t)
        name = "?";
    for (const cmd_row &r : k_cmd_rows)
        t[r.code] = r.name;
    return t;
}();

const tb1s_status_entry *find_status(uint32_t nt)
{
    for (const tb1s_status_entry &e : k_statuses)
        if (e.status == nt)
            return &e;
    return nullptr;
}

}  // namespace

uint32_t tb1s_dos_pair(uint32_t nt)
{
    const tb1s_status_entry *e = find_status(nt);
    return e ? e->dos : nt;
}

const char *tb1s_status_name(uint32_t status)
{
    const tb1s_status_entry *e = find_status(status);
    if (e && e->name)
        return e->name;
    if (int32_t(status) >= 0 && (status >> 16) != 0)
        return "DOS_ERROR";
    return "STATUS?";
}

const char *tb1s_cmd_name(uint8_t cmd) { return k_cmd_names[cmd]; }

const char *tb1s_frame_name(const uint8_t *p, uint64_t n)
{
    if (!p || n < 4)
        return "?";
    if (p[0] == 0xFE && p[1] == 'S' && p[2] == 'M' && p[3] == 'B')
        return "SMB2_NEGOTIATE";
    if (n == 4)
        return "?";
    if (p[0] == 0xFF && p[1] == 'S' && p[2] == 'M' && p[3] == 'B')
        return tb1s_cmd_name(p[4]);
    return "?";
}

}  // namespace tb1s
