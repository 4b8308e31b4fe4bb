// Command handlers that live in their own files, one file per command
// group. Each one gets a row in the dispatch table (dispatch.cpp) when it is
// built; until then its command is answered as an unknown command.
#pragma once

#include "sess/session.h"

void cmd_negotiate(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);          // 0x72
void cmd_session_setup(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);      // 0x73
void cmd_tree_connect(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);       // 0x75
void cmd_nt_create(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);          // 0xA2
void cmd_read_andx(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);          // 0x2E
void cmd_trans(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);              // 0x25
void cmd_trans2(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);             // 0x32
void cmd_query_information(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);  // 0x08
void cmd_check_directory(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);    // 0x10
