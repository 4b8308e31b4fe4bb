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
        fprintf(stderr, "result %d, want %d (%s)\n", got, want, message);
        failures++;
    }
    if (message && strcmp(tbsmb1s_last_error(), message) != 0) {
        fprintf(stderr, "message '%s', want '%s'\n", tbsmb1s_last_error(), message);
        failures++;
    }
}

int main(void)
{
    CHECK(strcmp(tbsmb1s_version(), "1.0.1") == 0);
    CHECK(tbsmb1s_port() == 0);
    CHECK(tbsmb1s_client_count() == 0);
    CHECK(tbsmb1s_session_count() == 0);

    check_code(tbsmb1s_set_option("max_clients", "1025"), TBSMB1S_EINVAL, "max_clients: 1..1024");
    check_code(tbsmb1s_set_option("nope", "1"), TBSMB1S_EINVAL, "unknown option nope");
    check_code(tbsmb1s_set_option("max_clients", "8"), TBSMB1S_OK, NULL);

    const char *stats = tbsmb1s_stats_json();
    const char *head = "{\"running\":false,\"port\":0,\"clients\":0,";
    CHECK(stats != NULL && strncmp(stats, head, strlen(head)) == 0);

    CHECK(strcmp(tbsmb1s_selftest(), "selftest ok\n") == 0);

    if (failures)
        fprintf(stderr, "%d C API checks failed\n", failures);
    return failures ? 1 : 0;
}
