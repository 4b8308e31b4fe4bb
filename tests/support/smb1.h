// SMB1 requests for tests, and the replies of a simulation transcript taken
// apart. Builds on support.h (bytes, hex).
//
//   smb1_request r;
//   r.cmd = 0x2B;                       // ECHO
//   r.words = le().u16(1);
//   r.data = {'a', 'b'};
//   std::string text = sim({smb1_frame(r)});
//   transcript t = parse_transcript(text);
//   t.replies[0].word(0) ...
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "support.h"

namespace tb1s_test {

// Little-endian builder for parameter words and data bytes.
struct le {
    bytes b;
    le &u8(uint32_t v);
    le &u16(uint32_t v);
    le &u32(uint32_t v);
    le &u64(uint64_t v);
    le &raw(const bytes &v);
    le &zeros(size_t n);
    le &ascii(const std::string &s, bool nul = true);  // the bytes of s
    le &utf16(const std::string &s, bool nul = true);  // s (UTF-8) as UTF-16LE
    operator bytes() const { return b; }
};

inline constexpr uint16_t FLAGS2_NT = 0x4000;
inline constexpr uint16_t FLAGS2_UNICODE = 0x8000;

// One SMB1 request. The WordCount is words.size() / 2 unless wc is set.
struct smb1_request {
    uint8_t cmd = 0;
    uint8_t flags = 0x18;
    uint16_t flags2 = FLAGS2_NT | FLAGS2_UNICODE | 0x0001;
    uint16_t pid_high = 0;
    uint16_t tid = 0;
    uint16_t pid = 0x1234;
    uint16_t uid = 0;
    uint16_t mid = 1;
    bytes words;              // parameter bytes
    bytes data;               // bytes after ByteCount
    int wc = -1;              // WordCount to announce; -1: words.size() / 2
    int byte_count = -1;      // ByteCount to announce; -1: data.size()
    bool omit_byte_count = false;  // end the message after the words
};

// The requests of a logon as a client sends them (Unicode, NT statuses).
// NEGOTIATE offering the dialects in order, each as 0x02, the text and NUL.
smb1_request negotiate_request(const std::vector<std::string> &dialects = {"NT LM 0.12"});
// SESSION_SETUP_ANDX with extended security (12 words): the security blob,
// then the client's NativeOS and NativeLanMan texts.
smb1_request setup_ext_request(const bytes &blob);
// SESSION_SETUP_ANDX without extended security (13 words): the LMv2 and
// NTLMv2 responses, then account, domain, NativeOS and NativeLanMan.
smb1_request setup_nonext_request(const bytes &lm, const bytes &nt, const std::string &user = "");

// A request of the command with these words and bytes, header defaults.
smb1_request request(uint8_t cmd, bytes words = {}, bytes data = {});
// ECHO asking for one answer, with the MID and the payload.
smb1_request echo_request(uint16_t mid = 1, bytes data = {'e'});

bytes smb1_message(const smb1_request &r);           // the SMB message alone
bytes nbss(const bytes &body, uint8_t type = 0x00);  // NetBIOS header + body
inline bytes smb1_frame(const smb1_request &r) { return nbss(smb1_message(r)); }

// A script of one frame line per packet (each packet must fit in a line).
std::string script(std::initializer_list<bytes> packets);
// A script that carries any packet as raw lines of at most 16384 bytes.
std::string raw_script(const bytes &stream);

// Runs tbsmb1s' simulation: the transcript, or "ERROR: " and the message.
std::string run_sim(const std::string &script, const char *peer = nullptr);

// One reply message as the server sent it.
struct smb1_reply {
    bytes raw;                 // the whole message
    uint8_t cmd = 0;
    uint32_t status = 0;       // bytes 5..8, little-endian
    uint8_t flags = 0;
    uint16_t flags2 = 0;
    uint16_t pid_high = 0;
    bytes signature;           // bytes 14..21
    uint16_t tid = 0, pid = 0, uid = 0, mid = 0;
    uint8_t wc = 0;            // the announced WordCount
    bytes words;               // the parameter bytes present (up to 2 * wc)
    bool has_byte_count = false;
    uint16_t byte_count = 0;
    bytes data;                // everything after ByteCount
    uint16_t word(size_t i) const;  // parameter word i (0 when absent)
};

// The body of a reply: everything after the 32-byte header.
inline bytes body(const smb1_reply &p) { return bytes(p.raw.begin() + 32, p.raw.end()); }

// The security blob of a reply: after the 16-byte ServerGUID of an
// extended-security NEGOTIATE reply (17 words), or the SecurityBlobLength
// bytes of a SESSION_SETUP_ANDX reply (4 words). Empty otherwise.
bytes reply_blob(const smb1_reply &r);

// Takes a reply apart. false when it is not an SMB1 message of 33 bytes or more.
bool parse_reply(const bytes &msg, smb1_reply *out);

// The 8-byte SMB1 signature a client expects on msg (signed with FLAGS2
// 0x0004 already set) under sequence number seq: the first 8 bytes of MD5
// over the MAC key and msg with the sequence number and four zero bytes in
// its signature field.
bytes smb1_signature(const bytes &mac_key, const bytes &msg, uint32_t seq);

// A simulation transcript, line by line.
struct transcript {
    std::vector<std::string> lines;     // without their line feeds
    std::vector<std::string> requests;  // NAME of each ">> NAME" line
    std::vector<std::string> reply_hex; // HEX of each "<< HEX" line
    std::vector<smb1_reply> replies;    // the "<<" lines that parse as SMB1
    std::string result;                 // the last line
    bool complete = false;              // the text ended with a line feed
};
transcript parse_transcript(const std::string &text);

}  // namespace tb1s_test
