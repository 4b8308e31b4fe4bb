// Command handlers that live in their own files, one file per command
// group. Each one gets a row in the dispatch table (dispatch.cpp) when it is
// built; until then its command is answered as an unknown command.
#pragma once

#include "sess/session.h"

namespace tb1s {

void cmd_negotiate(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);          // 0x72
void cmd_session_setup(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);      // 0x73
// Logon legs (setup.cpp). session_ok completes a successful leg: a
// challenge leg (`more`, status MORE_PROCESSING_REQUIRED, the token as the
// security blob, a UID assigned) or the final one (logged on as guest or
// user, signing decided, counted). `raw` is 1 for a bare-NTLMSSP client: no
// SPNEGO completion; the three texts follow the blob in both forms.
// session_fail answers a refused logon with the status in the request's
// form, counts it, reports it (with the user name the client gave and
// whether it asked to be a guest, where known) and sets the stop flag at
// max_login_failures.
void session_ok(tb1s_session *s, tb1s_reply *rep, int32_t guest, int32_t more, int32_t raw, const tb1s_buf *tok);
void session_fail(tb1s_session *s, tb1s_reply *rep, uint32_t nt, uint32_t dos, const char *user = "",
                  int32_t guest = 0);

void cmd_tree_connect(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);       // 0x75
void cmd_nt_create(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);          // 0xA2
void cmd_read_andx(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);          // 0x2E
// WRITE_ANDX: a DCE/RPC packet written to the srvsvc pipe; on anything
// else the refusal of every state-changing command (cmd_refused).
void cmd_write_andx(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);         // 0x2F
// A command that would change the disk: ACCESS_DENIED, counted, nothing read.
void cmd_refused(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);
void cmd_trans(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);              // 0x25
void cmd_trans2(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);             // 0x32
void cmd_query_information(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);  // 0x08
void cmd_check_directory(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);    // 0x10

// TRANSACTION2 subcommands, called by cmd_trans2 with the request's tree and
// its parameter block. They answer with trans2_reply or set an error status.
void find_cmd(tb1s_session *s, tb1s_reply *rep, tb1s_tree *tree, uint32_t sub, const uint8_t *params,
              uint32_t n);                                                                              // 1, 2
void query_fs_cmd(tb1s_session *s, tb1s_reply *rep, tb1s_tree *tree, const uint8_t *params, uint32_t n);    // 3
void query_path_cmd(tb1s_session *s, tb1s_reply *rep, tb1s_tree *tree, const uint8_t *params, uint32_t n);  // 5
void query_file_cmd(tb1s_session *s, tb1s_reply *rep, tb1s_tree *tree, const uint8_t *params, uint32_t n);  // 7

// The named-pipe transaction on the "srvsvc" pipe, called by cmd_trans with
// the open pipe record, the request's MaxDataCount and its data block (a
// DCE/RPC packet). Answers with trans_reply or sets an error status. An
// answer longer than max_data (when that is not 0) is cut there with the
// status BUFFER_OVERFLOW; the rest waits in the pipe record for READ_ANDX.
void pipe_transact(tb1s_session *s, tb1s_reply *rep, tb1s_file *pipe, uint32_t max_data, const uint8_t *data,
                   uint32_t n);
// Moves the next bytes a READ_ANDX of at most max bytes takes from the
// pipe's waiting answers to the end of `to`: up to the end of the current
// DCE/RPC fragment, each fragment being one message of the message-mode
// pipe. *more is set when the fragment goes on after them (the read gets
// BUFFER_OVERFLOW). The count, 0 when nothing waits.
uint32_t pipe_take(tb1s_file *pipe, uint32_t max, tb1s_buf *to, bool *more);
// Appends text as an NDR conformant varying string of UTF-16 characters
// (counts include the terminator), padded to a 4-byte boundary.
void ndr_w_str(tb1s_buf *b, const char *text);

// The TRANSACTION reply carrying a data block only (WordCount 10, the data
// at offset 56). Sets the status to success.
void trans_reply(tb1s_reply *rep, const uint8_t *data, uint32_t n);
// The TRANSACTION2 reply with a parameter block at offset 55 and a data
// block at the next 4-byte boundary (WordCount 10). Keeps the status the
// handler set and copies the request's Unicode flag to the reply.
void trans2_reply(tb1s_session *s, tb1s_reply *rep, const uint8_t *params, uint32_t np, const uint8_t *data,
                  uint32_t nd);

}  // namespace tb1s
