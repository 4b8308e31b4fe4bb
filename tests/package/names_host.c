/* A host that defines, for its own use, global names the library uses
 * internally. It must link against the static library as well as the shared
 * one, and both must keep to their own names at run time: an SMB1 echo run
 * through the library's dispatch answers, and the host's globals keep their
 * values. */
#include <stdio.h>
#include <string.h>

#include "tbsmb1s.h"

int g_lock = 7;
int g_shares[4] = {1, 2, 3, 4};
int g_server = 5;
int g_users;
long x_read(long n) { return n + 1; }
int inside(const char *a, const char *b) { return strcmp(a, b) == 0; }
int dispatch(int command) { return command * 2; }

/* One SMB1 ECHO of "ping" in a NetBIOS frame. */
static const char k_echo[] =
    "00000027ff534d422b000000001801c8000000000000000000000000fffe00000100010100040070696e67\n";

int main(void)
{
    int failures = 0;
    const char *out;

    if (tbsmb1s_set_option("allow_smb1", "1") != 0) {
        fprintf(stderr, "allow_smb1: %s\n", tbsmb1s_last_error());
        failures++;
    }
    out = tbsmb1s_simulate(k_echo, NULL);
    if (!out || !strstr(out, "<< ff534d422b00000000") || !strstr(out, "RESULT ok (1 frames)")) {
        fprintf(stderr, "echo through the library: %s\n", out ? out : tbsmb1s_last_error());
        failures++;
    }
    if (g_lock != 7 || g_shares[3] != 4 || g_server != 5 || x_read(1) != 2 || !inside("a", "a") || dispatch(21) != 42) {
        fprintf(stderr, "the host's own globals changed\n");
        failures++;
    }
    if (strcmp(tbsmb1s_version(), TBSMB1S_VERSION) != 0) {
        fprintf(stderr, "library %s, header %s\n", tbsmb1s_version(), TBSMB1S_VERSION);
        failures++;
    }
    printf("%s\n", failures ? "FAILED" : "ok");
    return failures != 0;
}
