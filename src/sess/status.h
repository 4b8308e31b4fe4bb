// Status vocabulary of SMB1 replies: the NT statuses the server knows, the
// DOS error pair that stands in for each when a request did not ask for NT
// status codes (FLAGS2 bit 0x4000), and the names used in traces and in the
// simulation transcript.
#pragma once

#include <cstdint>

namespace tb1s {

// A DOS error pair as it sits in header bytes 5 to 8: class in the low byte,
// code in the high 16 bits.
constexpr uint32_t tb1s_dos(uint32_t cls, uint32_t code) { return cls + code * 65536; }

inline constexpr uint32_t TB1S_ERRDOS = 0x01;
inline constexpr uint32_t TB1S_ERRSRV = 0x02;

// The DOS pairs the server sends, named for what they stand for here.
inline constexpr uint32_t TB1S_DOS_NOT_FOUND = tb1s_dos(TB1S_ERRDOS, 2);     // no such file or handle, end of file
inline constexpr uint32_t TB1S_DOS_NO_ACCESS = tb1s_dos(TB1S_ERRDOS, 5);     // the wrong kind of object, an unreadable file
inline constexpr uint32_t TB1S_DOS_BAD_NAME = tb1s_dos(TB1S_ERRDOS, 6);      // an invalid or missing name, path or share
inline constexpr uint32_t TB1S_DOS_INVALID = tb1s_dos(TB1S_ERRDOS, 8);       // an invalid parameter or information level
inline constexpr uint32_t TB1S_DOS_MORE_DATA = tb1s_dos(TB1S_ERRDOS, 234);   // the answer goes on beyond this reply
inline constexpr uint32_t TB1S_DOS_SRV_ERROR = tb1s_dos(TB1S_ERRSRV, 1);     // not supported
inline constexpr uint32_t TB1S_DOS_SRV_ACCESS = tb1s_dos(TB1S_ERRSRV, 4);    // access denied
inline constexpr uint32_t TB1S_DOS_SRV_REFUSED = tb1s_dos(TB1S_ERRSRV, 231); // a refused logon, session or resource

// Statuses the server sends.
inline constexpr uint32_t NT_STATUS_SUCCESS = 0x00000000;
inline constexpr uint32_t NT_STATUS_INVALID_INFO_CLASS = 0xC0000003;
inline constexpr uint32_t NT_STATUS_INVALID_HANDLE = 0xC0000008;
inline constexpr uint32_t NT_STATUS_INVALID_PARAMETER = 0xC000000D;
inline constexpr uint32_t NT_STATUS_NO_SUCH_FILE = 0xC000000F;  // has no name in traces
inline constexpr uint32_t NT_STATUS_END_OF_FILE = 0xC0000011;
inline constexpr uint32_t NT_STATUS_MORE_PROCESSING_REQUIRED = 0xC0000016;
inline constexpr uint32_t NT_STATUS_ACCESS_DENIED = 0xC0000022;
inline constexpr uint32_t NT_STATUS_OBJECT_NAME_INVALID = 0xC0000033;
inline constexpr uint32_t NT_STATUS_OBJECT_NAME_NOT_FOUND = 0xC0000034;
inline constexpr uint32_t NT_STATUS_OBJECT_PATH_NOT_FOUND = 0xC000003A;
inline constexpr uint32_t NT_STATUS_LOGON_FAILURE = 0xC000006D;
inline constexpr uint32_t NT_STATUS_INSUFFICIENT_RESOURCES = 0xC000009A;
inline constexpr uint32_t NT_STATUS_REQUEST_NOT_SUPPORTED = 0xC00000A0;
inline constexpr uint32_t NT_STATUS_FILE_IS_A_DIRECTORY = 0xC00000BA;
inline constexpr uint32_t NT_STATUS_NOT_SUPPORTED = 0xC00000BB;
inline constexpr uint32_t NT_STATUS_BAD_NETWORK_NAME = 0xC00000CC;
inline constexpr uint32_t NT_STATUS_NOT_A_DIRECTORY = 0xC0000103;
inline constexpr uint32_t NT_STATUS_USER_SESSION_DELETED = 0xC0000203;
// Sent under this name with this value (not the 0xC00000D0 of other systems).
inline constexpr uint32_t NT_STATUS_REQUEST_NOT_ACCEPTED = 0xC000020C;

// Statuses known by name only; the server never sends them.
inline constexpr uint32_t NT_STATUS_BUFFER_OVERFLOW = 0x80000005;
inline constexpr uint32_t NT_STATUS_NO_MORE_FILES = 0x80000006;
inline constexpr uint32_t NT_STATUS_UNSUCCESSFUL = 0xC0000001;
inline constexpr uint32_t NT_STATUS_INFO_LENGTH_MISMATCH = 0xC0000004;
inline constexpr uint32_t NT_STATUS_OBJECT_NAME_COLLISION = 0xC0000035;
inline constexpr uint32_t NT_STATUS_SHARING_VIOLATION = 0xC0000043;
inline constexpr uint32_t NT_STATUS_NO_SUCH_USER = 0xC0000064;
inline constexpr uint32_t NT_STATUS_PASSWORD_EXPIRED = 0xC0000071;
inline constexpr uint32_t NT_STATUS_ACCOUNT_DISABLED = 0xC0000072;
inline constexpr uint32_t NT_STATUS_LOGON_TYPE_NOT_GRANTED = 0xC000015B;

struct tb1s_status_entry {
    uint32_t status;   // NT status
    const char *name;  // trace name, or null for a status without one
    uint32_t dos;      // default DOS pair; equal to `status` where only the NT form exists
};

// Every status the server knows. Where a handler answers a status with a
// pair other than the default (ACCESS_DENIED in READ_ANDX, for example), it
// passes that pair itself.
inline constexpr tb1s_status_entry k_statuses[] = {
    {NT_STATUS_SUCCESS, "SUCCESS", 0},
    {NT_STATUS_INVALID_INFO_CLASS, "INVALID_INFO_CLASS", TB1S_DOS_INVALID},
    {NT_STATUS_INVALID_HANDLE, "INVALID_HANDLE", TB1S_DOS_NOT_FOUND},
    {NT_STATUS_INVALID_PARAMETER, "INVALID_PARAMETER", TB1S_DOS_INVALID},
    {NT_STATUS_NO_SUCH_FILE, nullptr, NT_STATUS_NO_SUCH_FILE},
    {NT_STATUS_END_OF_FILE, "END_OF_FILE", TB1S_DOS_NOT_FOUND},
    {NT_STATUS_MORE_PROCESSING_REQUIRED, "MORE_PROCESSING_REQUIRED", NT_STATUS_MORE_PROCESSING_REQUIRED},
    {NT_STATUS_ACCESS_DENIED, "ACCESS_DENIED", TB1S_DOS_SRV_ACCESS},
    {NT_STATUS_OBJECT_NAME_INVALID, "OBJECT_NAME_INVALID", TB1S_DOS_BAD_NAME},
    {NT_STATUS_OBJECT_NAME_NOT_FOUND, "OBJECT_NAME_NOT_FOUND", TB1S_DOS_NOT_FOUND},
    {NT_STATUS_OBJECT_PATH_NOT_FOUND, "OBJECT_PATH_NOT_FOUND", TB1S_DOS_BAD_NAME},
    {NT_STATUS_LOGON_FAILURE, "LOGON_FAILURE", TB1S_DOS_SRV_REFUSED},
    {NT_STATUS_INSUFFICIENT_RESOURCES, "INSUFFICIENT_RESOURCES", TB1S_DOS_SRV_REFUSED},
    {NT_STATUS_REQUEST_NOT_SUPPORTED, "REQUEST_NOT_SUPPORTED", TB1S_DOS_SRV_ERROR},
    {NT_STATUS_FILE_IS_A_DIRECTORY, "FILE_IS_A_DIRECTORY", TB1S_DOS_NO_ACCESS},
    {NT_STATUS_NOT_SUPPORTED, "NOT_SUPPORTED", TB1S_DOS_SRV_ERROR},
    {NT_STATUS_BAD_NETWORK_NAME, "BAD_NETWORK_NAME", TB1S_DOS_BAD_NAME},
    {NT_STATUS_NOT_A_DIRECTORY, "NOT_A_DIRECTORY", TB1S_DOS_NO_ACCESS},
    {NT_STATUS_USER_SESSION_DELETED, "USER_SESSION_DELETED", TB1S_DOS_SRV_REFUSED},
    {NT_STATUS_REQUEST_NOT_ACCEPTED, "REQUEST_NOT_ACCEPTED", TB1S_DOS_SRV_REFUSED},
    {NT_STATUS_BUFFER_OVERFLOW, "BUFFER_OVERFLOW", NT_STATUS_BUFFER_OVERFLOW},
    {NT_STATUS_NO_MORE_FILES, "NO_MORE_FILES", NT_STATUS_NO_MORE_FILES},
    {NT_STATUS_UNSUCCESSFUL, "UNSUCCESSFUL", NT_STATUS_UNSUCCESSFUL},
    {NT_STATUS_INFO_LENGTH_MISMATCH, "INFO_LENGTH_MISMATCH", NT_STATUS_INFO_LENGTH_MISMATCH},
    {NT_STATUS_OBJECT_NAME_COLLISION, "OBJECT_NAME_COLLISION", NT_STATUS_OBJECT_NAME_COLLISION},
    {NT_STATUS_SHARING_VIOLATION, "SHARING_VIOLATION", NT_STATUS_SHARING_VIOLATION},
    {NT_STATUS_NO_SUCH_USER, "NO_SUCH_USER", NT_STATUS_NO_SUCH_USER},
    {NT_STATUS_PASSWORD_EXPIRED, "PASSWORD_EXPIRED", NT_STATUS_PASSWORD_EXPIRED},
    {NT_STATUS_ACCOUNT_DISABLED, "ACCOUNT_DISABLED", NT_STATUS_ACCOUNT_DISABLED},
    {NT_STATUS_LOGON_TYPE_NOT_GRANTED, "LOGON_TYPE_NOT_GRANTED", NT_STATUS_LOGON_TYPE_NOT_GRANTED},
};

// The default DOS pair of an NT status. A status that is only ever sent in
// NT form (MORE_PROCESSING_REQUIRED, 0xC000000F), or that has no pair, comes
// back unchanged, so choosing "flags2 & 0x4000 ? nt : tb1s_dos_pair(nt)"
// writes the NT form for those whatever the request asked for.
uint32_t tb1s_dos_pair(uint32_t nt);

// The trace name of a status: the table name of a listed value; "DOS_ERROR"
// for a DOS pair (non-negative as int32 with a non-zero upper half);
// "STATUS?" otherwise. A constant text.
const char *tb1s_status_name(uint32_t status);

// The name of a command byte ("?" for codes without one), from the command
// table of the dispatcher (dispatch.cpp). A constant text.
const char *tb1s_cmd_name(uint8_t cmd);

// The command name of one SMB message (without the NetBIOS header):
// "SMB2_NEGOTIATE" for any SMB2 message, the name of byte 4 for an SMB1
// message of at least 5 bytes, "?" otherwise. Reads at most n bytes.
const char *tb1s_frame_name(const uint8_t *p, uint64_t n);

}  // namespace tb1s
