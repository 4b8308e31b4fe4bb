// READ_ANDX: bytes of a file opened by NT_CREATE_ANDX. Each request opens
// the host file by its canonical path, checks that what it opened lies in
// the share, reads and closes it again, so a read sees the file as it is on
// disk at that moment. On the srvsvc pipe it returns the answers waiting
// there, a fragment at a time.
#include "cfg/stats.h"
#include "sess/handlers.h"

namespace tb1s {

namespace {

constexpr uint32_t k_read_cap = 65280;  // most bytes one reply carries
constexpr uint32_t k_data_offset = 60;  // header, WordCount, 24 word bytes, ByteCount, pad
constexpr uint64_t k_words_end = 32 + 1 + 24;  // reply length up to its ByteCount

// The most one reply may carry in this session: the client's buffer less
// room for the reply around the data, 4096 while the client has announced
// no usable buffer size.
uint32_t read_limit(const tb1s_session *s)
{
    uint32_t v = s->client_bufsize;
    uint32_t lim = v > 64 ? v - 64 : 4096;
    return lim < k_read_cap ? lim : k_read_cap;
}

// The words of the reply with DataLength 0, the ByteCount and the pad
// byte; the data is appended after it and the counts patched by set_len.
void reply_words(tb1s_reply *rep)
{
    rep->wc = 12;
    tb1s_buf *b = &rep->buf;
    w32(b, 0x000000FF);  // no further command
    w16(b, 0xFFFF);      // Available
    w16(b, 0);           // DataCompactionMode
    w16(b, 0);           // Reserved
    w16(b, 0);           // DataLength
    w16(b, k_data_offset);
    w16(b, 0);           // DataLengthHigh
    w64(b, 0);           // Reserved
    w16(b, 1);           // ByteCount: the pad byte
    tb1s_buf_byte(b, 0); // pad
}

// Records n data bytes in DataLength and ByteCount.
void set_len(tb1s_reply *rep, uint32_t n)
{
    if (rep->buf.oom || rep->buf.len < k_words_end + 2)
        return;
    st16le(rep->buf.data + 32 + 1 + 10, n);  // DataLength, word byte 10
    st16le(rep->buf.data + k_words_end, n + 1);
}

// Shortens the reply to its first len bytes.
void cut(tb1s_buf *b, uint64_t len)
{
    if (b->data && b->len > len) {
        b->len = len;
        b->data[len] = 0;
    }
}

void end_of_file(tb1s_session *s, tb1s_reply *rep)
{
    rep_error(s, rep, NT_STATUS_END_OF_FILE);
    reply_words(rep);
}

// The next bytes of the answers waiting in the pipe, at most to the end of
// the current fragment. As for a message-mode pipe, BUFFER_OVERFLOW says
// that the fragment goes on.
void pipe_read(tb1s_session *s, tb1s_reply *rep, tb1s_file *f, uint32_t max)
{
    bool more = false;
    reply_words(rep);
    uint32_t count = pipe_take(f, max < read_limit(s) ? max : read_limit(s), &rep->buf, &more);
    set_len(rep, count);
    if (more)
        rep_error(s, rep, NT_STATUS_BUFFER_OVERFLOW, TB1S_DOS_MORE_DATA);
}

}  // namespace

void cmd_read_andx(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep)
{
    uint32_t wc = req->len ? req->data[0] : 0;
    if (wc != 10 && wc != 12) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER);
        return;
    }
    rd_u8(req);   // WordCount
    rd_u32(req);  // AndX: chains are not followed
    uint32_t fid = rd_u16(req);
    uint64_t offset = rd_u32(req);
    uint32_t max = rd_u16(req);
    rd_u16(req);  // MinCountOfBytesToReturn
    rd_u32(req);  // Timeout or MaxCountHigh: a reply never carries more than k_read_cap
    rd_u16(req);  // Remaining
    if (wc == 12)
        offset |= uint64_t(rd_u32(req)) << 32;
    if (req->err) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER);
        return;
    }
    // The request's TID is not compared with the tree of the open.
    tb1s_file *f = file_find(s, fid);
    if (!f) {
        rep_error(s, rep, NT_STATUS_INVALID_HANDLE);
        return;
    }
    if (f->pipe) {
        if (f->out_pos < f->out.len)
            pipe_read(s, rep, f, max);
        else
            rep_error(s, rep, NT_STATUS_NOT_SUPPORTED);
        return;
    }
    if (f->dir) {
        rep_error(s, rep, NT_STATUS_FILE_IS_A_DIRECTORY);
        return;
    }
    uint32_t count = max < read_limit(s) ? max : read_limit(s);

    // The file is opened again for every read; one that is gone, is now a
    // folder, cannot be read or now lies outside the share (a folder on its
    // path swapped for a link) is refused (with the DOS pair 1/5 of reads).
    tb1s_fs_file *h = tb1s_vfs_open(&f->share, f->path, nullptr);
    if (!h) {
        rep_error(s, rep, NT_STATUS_ACCESS_DENIED, TB1S_DOS_NO_ACCESS);
        return;
    }
    if (count == 0) {
        tb1s_fs_close(h);
        end_of_file(s, rep);
        return;
    }

    // Room for the data is made in the reply behind its words, and the file
    // is read straight into it; the reply is cut back to what was read.
    reply_words(rep);
    uint64_t start = rep->buf.len;
    uint8_t *dst = tb1s_buf_extend(&rep->buf, count);
    if (!dst) {
        // No room for the data: the reply goes out with what it holds.
        tb1s_fs_close(h);
        return;
    }
    uint32_t got = 0;
    while (got < count) {
        int32_t r = tb1s_fs_pread(h, offset + got, dst + got, int32_t(count - got));
        if (r < 0) {
            tb1s_fs_close(h);
            cut(&rep->buf, 33);
            rep_error(s, rep, NT_STATUS_ACCESS_DENIED, TB1S_DOS_NO_ACCESS);
            return;
        }
        if (r == 0)
            break;
        got += uint32_t(r);
    }
    tb1s_fs_close(h);
    cut(&rep->buf, start + got);
    if (got == 0) {  // at or past the end: the words already say DataLength 0
        rep_error(s, rep, NT_STATUS_END_OF_FILE);
        return;
    }
    set_len(rep, got);
    sess_stat(s, STAT_READS, 1);
}

}  // namespace tb1s
