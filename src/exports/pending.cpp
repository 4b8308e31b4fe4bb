// Temporary stand-ins for internals that have not landed yet. Each module
// removes its lines here when it lands.
#include "sess/handlers.h"

void pipe_transact(tb1s_session *s, tb1s_reply *rep, const uint8_t *, uint32_t)
{
    rep_error(s, rep, NT_STATUS_NOT_SUPPORTED, tb1s_dos_pair(NT_STATUS_NOT_SUPPORTED));
}
