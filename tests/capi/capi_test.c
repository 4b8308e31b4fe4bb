/* Drives the public interface from a C program through the shared library. */
#include <stdio.h>
#include <string.h>

#include "tbsmb1s.h"

static int failures;

#define CHECK(cond)                                                              \
    do {                                                                         \
        if (!(cond)) {                                                           \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                                          \
        }                                                                        \
    } while (0)

static void check_code(int32_t got, int32_t want, const char *message)
{
    if (got != want) {
        fprintf(stderr, "result %d, want %d (%s)\n", got, want, message ? message : "-");
        failures++;
    }
    if (message && strcmp(tbsmb1s_last_error(), message) != 0) {
        fprintf(stderr, "message '%s', want '%s'\n", tbsmb1s_last_error(), message);
        failures++;
    }
}

/* Codes and messages of tbsmb1s_allow_cidr. The list can never be emptied,
 * so this fills it to the limit in a run of its own ("capi_test allow"). */
static void check_allow_cidr(void)
{
    char text[128];
    int i;

    check_code(tbsmb1s_allow_cidr(NULL), TBSMB1S_EINVAL, "allow_cidr: empty CIDR");
    check_code(tbsmb1s_allow_cidr(""), TBSMB1S_EINVAL, "allow_cidr: empty CIDR");
    check_code(tbsmb1s_allow_cidr("10.0.0.0/33"), TBSMB1S_EINVAL, "allow_cidr: 10.0.0.0/33 is not a CIDR");
    memset(text, 'x', 100);
    text[100] = 0;
    check_code(tbsmb1s_allow_cidr(text), TBSMB1S_EINVAL,
               "allow_cidr: xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx is not a CIDR");

    check_code(tbsmb1s_allow_cidr("10.0.0.0/8"), TBSMB1S_OK, NULL);
    check_code(tbsmb1s_allow_cidr("10.1.2.3/8"), TBSMB1S_OK, NULL); /* the same block */
    for (i = 1; i < 64; i++) {
        snprintf(text, sizeof text, "198.18.%d.0/24", i);
        check_code(tbsmb1s_allow_cidr(text), TBSMB1S_OK, NULL);
    }
    check_code(tbsmb1s_allow_cidr("198.18.64.0/24"), TBSMB1S_EFULL, "allow_cidr: 64 CIDRs");
    check_code(tbsmb1s_allow_cidr("198.18.63.0/24"), TBSMB1S_OK, NULL); /* duplicates need no slot */
    check_code(tbsmb1s_allow_cidr("::/0"), TBSMB1S_EFULL, "allow_cidr: 64 CIDRs");
}

/* The other exports, on a library with an empty allow-list. */
static void check_exports(void)
{
    CHECK(strcmp(tbsmb1s_version(), TBSMB1S_VERSION) == 0);
    CHECK(tbsmb1s_port() == 0);
    CHECK(tbsmb1s_client_count() == 0);
    CHECK(tbsmb1s_session_count() == 0);

    check_code(tbsmb1s_set_option("max_clients", "1025"), TBSMB1S_EINVAL, "max_clients: 1..1024");
    check_code(tbsmb1s_set_option("nope", "1"), TBSMB1S_EINVAL, "unknown option nope");
    check_code(tbsmb1s_set_option("max_clients", "8"), TBSMB1S_OK, NULL);

    /* Shares and users: each export's codes and messages. */
    check_code(tbsmb1s_add_share(NULL, "/"), TBSMB1S_EINVAL, "add_share: NULL or empty argument");
    check_code(tbsmb1s_add_share("a:b", "/"), TBSMB1S_EINVAL, "add_share: invalid share name");
    check_code(tbsmb1s_add_share("IPC$", "/"), TBSMB1S_EEXIST, "add_share: IPC$ is built in");
    check_code(tbsmb1s_add_share("gone", "/nonexistent-tb1s"), TBSMB1S_ENOTFOUND,
               "add_share: /nonexistent-tb1s does not exist");
    check_code(tbsmb1s_add_share("null", "/dev/null"), TBSMB1S_EINVAL,
               "add_share: /dev/null is neither a folder nor a regular file");
    check_code(tbsmb1s_add_share("root", "/"), TBSMB1S_OK, NULL);
    check_code(tbsmb1s_add_share("ROOT", "/"), TBSMB1S_EEXIST, "add_share: ROOT exists");
    check_code(tbsmb1s_remove_share(NULL), TBSMB1S_EINVAL, "remove_share: NULL name");
    check_code(tbsmb1s_remove_share("IPC$"), TBSMB1S_EINVAL, "remove_share: IPC$ is built in");
    check_code(tbsmb1s_remove_share("Root"), TBSMB1S_OK, NULL);
    check_code(tbsmb1s_remove_share("root"), TBSMB1S_ENOTFOUND, "remove_share: no share root");

    check_code(tbsmb1s_add_user("bob", NULL), TBSMB1S_EINVAL, "add_user: NULL argument");
    check_code(tbsmb1s_add_user("", "x"), TBSMB1S_EINVAL, "add_user: user must be 1..128 printable bytes");
    check_code(tbsmb1s_add_user("DOM\\bob", "x"), TBSMB1S_EINVAL,
               "add_user: the user name carries no domain (the domain is ignored)");
    check_code(tbsmb1s_add_user("bob", "a\tb"), TBSMB1S_EINVAL, "add_user: password must be 0..256 printable bytes");
    check_code(tbsmb1s_add_user("bob", ""), TBSMB1S_OK, NULL);
    check_code(tbsmb1s_add_user("bob", "again"), TBSMB1S_OK, NULL);
    check_code(tbsmb1s_remove_user(NULL), TBSMB1S_EINVAL, "remove_user: NULL user");
    check_code(tbsmb1s_remove_user("Bob"), TBSMB1S_ENOTFOUND, "remove_user: no such user");
    check_code(tbsmb1s_remove_user("bob"), TBSMB1S_OK, NULL);
    check_code(tbsmb1s_remove_user("bob"), TBSMB1S_ENOTFOUND, "remove_user: no such user");

    const char *stats = tbsmb1s_stats_json();
    const char *head = "{\"running\":false,\"port\":0,\"clients\":0,";
    CHECK(stats != NULL && strncmp(stats, head, strlen(head)) == 0);

    /* An ECHO request (NetBIOS header, SMB1 header, WordCount 1, ByteCount 0). */
    const char *sim = tbsmb1s_simulate("00000025 ff534d422b0000000018014000000000000000000000000000003412000001000101000000\n",
                                       NULL);
    const char *sim_head = ">> ECHO\n<< ff534d422b";
    CHECK(sim != NULL && strncmp(sim, sim_head, strlen(sim_head)) == 0);
    CHECK(sim != NULL && strstr(sim, "\nRESULT ok (1 frames)\n") != NULL);
    CHECK(tbsmb1s_simulate(NULL, NULL) == NULL);
    CHECK(strcmp(tbsmb1s_last_error(), "simulate: NULL script") == 0);
    check_code(tbsmb1s_start(NULL, 0, NULL), TBSMB1S_ESMB1OFF,
               "SMB1 is off by default; set_option(\"allow_smb1\",\"1\") first");
    check_code(tbsmb1s_set_option("allow_smb1", "1"), TBSMB1S_OK, NULL);
    check_code(tbsmb1s_start("localhost", 0, NULL), TBSMB1S_EINVAL, "start: localhost is not an IP address");
    check_code(tbsmb1s_start(NULL, 70000, NULL), TBSMB1S_EINVAL, "start: port out of range");
    CHECK(tbsmb1s_port() == 0);
    check_code(tbsmb1s_start(NULL, 0, "CAPI"), TBSMB1S_OK, NULL);
    uint32_t port = tbsmb1s_port();
    CHECK(port != 0);
    CHECK(tbsmb1s_client_count() == 0);
    char want[64];
    snprintf(want, sizeof want, "start: already running on port %u", (unsigned)port);
    check_code(tbsmb1s_start(NULL, 0, NULL), TBSMB1S_ERUNNING, want);
    tbsmb1s_stop();
    CHECK(tbsmb1s_port() == 0);
    CHECK(tbsmb1s_client_count() == 0);
    tbsmb1s_stop();

    CHECK(strcmp(tbsmb1s_selftest(), "selftest ok\n") == 0);
}

/* What the event callback saw. Simulations run on the calling thread, so
 * no lock is needed here. */
static struct {
    int count;
    int32_t kinds[8];
    uint64_t connection[8];
    char peer[8][64];
    int32_t reason[8];
    int bad_record;   /* a wrong size or a NULL text */
    int32_t inside_rc; /* a replacement tried from inside the callback */
} seen;

static void on_event(void *user_data, const tbsmb1s_event *e)
{
    int i = seen.count++;
    if (user_data != &seen || e->size != sizeof(tbsmb1s_event) || !e->peer || !e->user || !e->share ||
        !e->command || !e->path)
        seen.bad_record = 1;
    seen.inside_rc = tbsmb1s_set_event_callback(NULL, NULL);
    if (i < 8) {
        seen.kinds[i] = e->kind;
        seen.connection[i] = e->connection;
        snprintf(seen.peer[i], sizeof seen.peer[i], "%s", e->peer ? e->peer : "(null)");
        seen.reason[i] = e->reason;
    }
}

/* The event callback from C: a simulated session gives its start and end
 * under one number, a refused peer its refusal, and no callback nothing. */
static void check_events(void)
{
    const char *echo = "00000025 ff534d422b0000000018014000000000000000000000000000003412000001000101000000\n";

    check_code(tbsmb1s_set_event_callback(on_event, &seen), TBSMB1S_OK, NULL);
    CHECK(tbsmb1s_simulate(echo, NULL) != NULL);
    CHECK(seen.count == 2);
    CHECK(seen.kinds[0] == TBSMB1S_EVENT_CONNECTED && seen.kinds[1] == TBSMB1S_EVENT_DISCONNECTED);
    CHECK(seen.connection[0] != 0 && seen.connection[1] == seen.connection[0]);
    CHECK(strcmp(seen.peer[0], "127.0.0.1") == 0);
    CHECK(!seen.bad_record);
    CHECK(seen.inside_rc == TBSMB1S_ERUNNING);
    CHECK(strcmp(tbsmb1s_last_error(), "set_event_callback: called from inside the event callback") == 0);

    seen.count = 0;
    CHECK(tbsmb1s_simulate(echo, "192.0.2.10") != NULL);
    CHECK(seen.count == 1);
    CHECK(seen.kinds[0] == TBSMB1S_EVENT_REFUSED && seen.reason[0] == TBSMB1S_REFUSED_ALLOW);
    CHECK(seen.connection[0] == 0);
    CHECK(strcmp(seen.peer[0], "192.0.2.10") == 0);

    check_code(tbsmb1s_set_event_callback(NULL, NULL), TBSMB1S_OK, NULL);
    seen.count = 0;
    CHECK(tbsmb1s_simulate(echo, NULL) != NULL);
    CHECK(seen.count == 0);
}

/* Each group runs in a process of its own, so none depends on what another
 * left in the library: "capi_test" checks the exports, "capi_test allow"
 * the allow-list, "capi_test events" the event callback. */
int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "allow") == 0)
        check_allow_cidr();
    else if (argc > 1 && strcmp(argv[1], "events") == 0)
        check_events();
    else
        check_exports();
    if (failures)
        fprintf(stderr, "%d C API checks failed\n", failures);
    return failures ? 1 : 0;
}
