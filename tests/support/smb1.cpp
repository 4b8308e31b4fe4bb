#include "smb1.h"

#include <algorithm>
#include <stdexcept>

#include "crypto/crypto.h"
#include "exports/simulate.h"
#include "ntlm_client.h"
#include "util/buf.h"

using namespace tb1s;

namespace tb1s_test {

le &le::u8(uint32_t v)
{
    b.push_back(uint8_t(v));
    return *this;
}

le &le::u16(uint32_t v) { return u8(v).u8(v >> 8); }
le &le::u32(uint32_t v) { return u16(v).u16(v >> 16); }
le &le::u64(uint64_t v) { return u32(uint32_t(v)).u32(uint32_t(v >> 32)); }

le &le::raw(const bytes &v)
{
    b.insert(b.end(), v.begin(), v.end());
    return *this;
}

le &le::zeros(size_t n)
{
    b.insert(b.end(), n, 0);
    return *this;
}

le &le::ascii(const std::string &s, bool nul)
{
    b.insert(b.end(), s.begin(), s.end());
    return nul ? u8(0) : *this;
}

le &le::utf16(const std::string &s, bool nul)
{
    raw(utf16le(s));
    return nul ? u16(0) : *this;
}

smb1_request negotiate_request(const std::vector<std::string> &dialects)
{
    smb1_request r;
    r.cmd = 0x72;
    r.flags2 |= 0x0800;  // extended security, as clients ask for it
    le d;
    for (const std::string &s : dialects)
        d.u8(0x02).ascii(s);
    r.data = d;
    return r;
}

smb1_request setup_ext_request(const bytes &blob)
{
    smb1_request r;
    r.cmd = 0x73;
    r.flags2 |= 0x0800;
    // AndX none, MaxBufferSize, MaxMpxCount, VcNumber, SessionKey,
    // SecurityBlobLength, Reserved, Capabilities.
    r.words = le().u8(0xFF).u8(0).u16(0).u16(16644).u16(2).u16(1).u32(0).u16(uint32_t(blob.size())).u32(0).u32(
        0x8000D054);
    r.data = le().raw(blob).utf16("Unix").utf16("tests");
    return r;
}

smb1_request setup_nonext_request(const bytes &lm, const bytes &nt, const std::string &user)
{
    smb1_request r;
    r.cmd = 0x73;
    r.words = le()
                  .u8(0xFF)
                  .u8(0)
                  .u16(0)
                  .u16(16644)
                  .u16(2)
                  .u16(1)
                  .u32(0)
                  .u16(uint32_t(lm.size()))
                  .u16(uint32_t(nt.size()))
                  .u32(0)
                  .u32(0x0000D054);
    le d;
    d.raw(lm).raw(nt);
    if ((lm.size() + nt.size()) % 2 == 0)
        d.u8(0);  // pad: the Unicode texts start on an even offset of the message
    r.data = d.utf16(user).utf16("").utf16("Unix").utf16("tests");
    return r;
}

bytes reply_blob(const smb1_reply &r)
{
    if (r.wc == 17 && r.data.size() >= 16)
        return bytes(r.data.begin() + 16, r.data.end());
    if (r.wc == 4 && r.word(3) <= r.data.size())
        return bytes(r.data.begin(), r.data.begin() + r.word(3));
    return {};
}

smb1_request request(uint8_t cmd, bytes words, bytes data)
{
    smb1_request r;
    r.cmd = cmd;
    r.words = std::move(words);
    r.data = std::move(data);
    return r;
}

smb1_request echo_request(uint16_t mid, bytes data)
{
    smb1_request r;
    r.cmd = 0x2B;
    r.mid = mid;
    r.words = le().u16(1);
    r.data = std::move(data);
    return r;
}

bytes smb1_message(const smb1_request &r)
{
    le m;
    m.u8(0xFF).ascii("SMB", false).u8(r.cmd).u32(0).u8(r.flags).u16(r.flags2).u16(r.pid_high);
    m.zeros(8).u16(0).u16(r.tid).u16(r.pid).u16(r.uid).u16(r.mid);
    m.u8(r.wc >= 0 ? uint32_t(r.wc) : uint32_t(r.words.size() / 2)).raw(r.words);
    if (!r.omit_byte_count)
        m.u16(r.byte_count >= 0 ? uint32_t(r.byte_count) : uint32_t(r.data.size())).raw(r.data);
    return m;
}

bytes nbss(const bytes &body, uint8_t type)
{
    if (body.size() > 0xFFFFFF)
        throw std::invalid_argument("NetBIOS body over 24 bits");
    bytes out(4 + body.size());
    out[0] = type;
    out[1] = uint8_t(body.size() >> 16);
    out[2] = uint8_t(body.size() >> 8);
    out[3] = uint8_t(body.size());
    std::copy(body.begin(), body.end(), out.begin() + 4);
    return out;
}

std::string script(std::initializer_list<bytes> packets)
{
    std::string s;
    for (const bytes &p : packets)
        s += to_hex(p) + "\n";
    return s;
}

std::string raw_script(const bytes &stream)
{
    std::string s;
    for (size_t i = 0; i < stream.size(); i += 16384) {
        size_t n = stream.size() - i < 16384 ? stream.size() - i : 16384;
        s += '!';
        s += to_hex(stream.data() + i, n);
        s += '\n';
    }
    return s;
}

std::string run_sim(const std::string &script, const char *peer)
{
    const char *out = tb1s_simulate(script.c_str(), peer);
    return out ? std::string(out) : "ERROR: " + std::string(tb1s_error());
}

uint16_t smb1_reply::word(size_t i) const
{
    if (2 * i + 1 >= words.size())
        return 0;
    return uint16_t(words[2 * i] | words[2 * i + 1] << 8);
}

bool parse_reply(const bytes &msg, smb1_reply *out)
{
    if (msg.size() < 33 || msg[0] != 0xFF || msg[1] != 'S' || msg[2] != 'M' || msg[3] != 'B')
        return false;
    auto at16 = [&](size_t i) { return uint16_t(msg[i] | msg[i + 1] << 8); };
    smb1_reply r;
    r.raw = msg;
    r.cmd = msg[4];
    r.status = uint32_t(at16(5)) | uint32_t(at16(7)) << 16;
    r.flags = msg[9];
    r.flags2 = at16(10);
    r.pid_high = at16(12);
    r.signature.assign(msg.begin() + 14, msg.begin() + 22);
    r.tid = at16(24);
    r.pid = at16(26);
    r.uid = at16(28);
    r.mid = at16(30);
    r.wc = msg[32];
    size_t end = 33 + 2 * size_t(r.wc);
    if (end > msg.size())
        end = msg.size();
    r.words.assign(msg.begin() + 33, msg.begin() + long(end));
    if (msg.size() >= end + 2) {
        r.has_byte_count = true;
        r.byte_count = at16(end);
        r.data.assign(msg.begin() + long(end) + 2, msg.end());
    }
    *out = r;
    return true;
}

transcript parse_transcript(const std::string &text)
{
    transcript t;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            t.lines.push_back(text.substr(pos));
            break;
        }
        t.lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    t.complete = !text.empty() && text.back() == '\n';
    for (const std::string &l : t.lines) {
        if (l.rfind(">> ", 0) == 0) {
            t.requests.push_back(l.substr(3));
        } else if (l.rfind("<< ", 0) == 0) {
            t.reply_hex.push_back(l.substr(3));
            smb1_reply r;
            bytes msg;
            try {
                msg = from_hex(l.substr(3));
            } catch (const std::invalid_argument &) {
                continue;  // "<< [truncated]"
            }
            if (parse_reply(msg, &r))
                t.replies.push_back(r);
        }
    }
    if (!t.lines.empty())
        t.result = t.lines.back();
    return t;
}

bytes smb1_signature(const bytes &mac_key, const bytes &msg, uint32_t seq)
{
    if (msg.size() < 22)
        return {};
    bytes in = mac_key;
    in.insert(in.end(), msg.begin(), msg.end());
    size_t sig = mac_key.size() + 14;
    for (int i = 0; i < 8; i++)
        in[sig + i] = i < 4 ? uint8_t(seq >> (8 * i)) : 0;
    uint8_t d[16];
    tb1s_md5(in.data(), in.size(), d);
    return bytes(d, d + 8);
}

}  // namespace tb1s_test
