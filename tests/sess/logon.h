// Shared pieces of the negotiate and logon tests: a world with SMB1 on, and
// a client that answers the server's legs.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ntlm/spnego.h"
#include "ntlm_client.h"
#include "sess/status.h"
#include "smb1.h"
#include "world.h"

using namespace tb1s;

namespace tb1s_test {

// A world with SMB1 on, where a test sets its options and accounts.
struct smb1_world : test_world {
    smb1_world() { set("allow_smb1", "1"); }
};

// The client side of an extended-security logon.
struct ext_client {
    ntlm_creds creds;
    bool spnego = true;      // wrap the messages in SPNEGO, else bare NTLMSSP
    bool anonymous = false;  // empty NT response, as smbclient sends it
    bool sign = false;       // the final leg asks for signatures (FLAGS2 0x0004)
    bytes key;               // the session key the server should derive

    smb1_request negotiate_leg() const
    {
        bytes m = ntlm_negotiate();
        return setup_ext_request(spnego ? spnego_wrap_init(m) : m);
    }
    // The AUTHENTICATE_MESSAGE for the CHALLENGE_MESSAGE in a reply blob.
    smb1_request authenticate_leg(const bytes &reply_blob_bytes)
    {
        bytes m;
        if (anonymous) {
            auth_fields f;
            f.lm = {0};
            f.flags = 0x62000A05;  // NTLM and ANONYMOUS, no extended session security
            m = authenticate_message(f);
            key = bytes(16, 0);
        } else {
            m = ntlm_authenticate(ntlm_in(reply_blob_bytes), creds, &key);
        }
        smb1_request r = setup_ext_request(spnego ? spnego_wrap_resp(m) : m);
        if (sign)
            r.flags2 |= 0x0004;
        return r;
    }
};

// The 43 bytes of NativeOS, NativeLanMan and PrimaryDomain the server sends.
inline bytes server_texts()
{
    return le().ascii("Windows 6.1").ascii("Talvern Beacon 1.0.1").ascii("WORKGROUP");
}

}  // namespace tb1s_test
