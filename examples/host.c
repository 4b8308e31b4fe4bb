/* host.c: serves a folder read-only over SMB1 on 127.0.0.1 until Enter.
 *
 *   ./host [FOLDER [PORT]]     (defaults: the current folder, port 4450)
 *
 * Clients connect with, for example:
 *   smbclient //127.0.0.1/files -p 4450 -m NT1 --option='client min protocol=NT1' -N
 */
#include <stdio.h>
#include <stdlib.h>

#include "tbsmb1s.h"

int main(int argc, char **argv)
{
    const char *folder = argc > 1 ? argv[1] : ".";
    uint32_t port = argc > 2 ? (uint32_t)strtoul(argv[2], NULL, 10) : 4450;

    tbsmb1s_set_option("allow_smb1", "1"); /* SMB1 is off until asked for */
    if (tbsmb1s_add_share("files", folder) != 0) {
        fprintf(stderr, "%s\n", tbsmb1s_last_error());
        return 1;
    }
    /* tbsmb1s_add_user("alice", "secret");  declaring a user turns guest access off */
    if (tbsmb1s_start("127.0.0.1", port, NULL) != 0) {
        fprintf(stderr, "%s\n", tbsmb1s_last_error());
        return 1;
    }
    printf("tbsmb1s %s serving %s as \"files\" on 127.0.0.1 port %u; Enter stops\n", tbsmb1s_version(), folder,
           (unsigned)tbsmb1s_port());
    fflush(stdout);
    getchar();
    tbsmb1s_stop();
    puts(tbsmb1s_stats_json());
    return 0;
}
