/* Loaded with LD_PRELOAD into a client program (smbclient) so that its IPv4
 * TCP connections leave from the loopback address in TB_LOAD_SOURCE (for
 * example 127.0.0.2) instead of 127.0.0.1: the load harness uses it to show
 * that a real client from another address gets in while one address holds
 * idle sockets. Built by tests/load/run into its scratch folder. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

int connect(int fd, const struct sockaddr *sa, socklen_t len)
{
    static int (*real)(int, const struct sockaddr *, socklen_t);
    if (!real)
        real = (int (*)(int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT, "connect");
    const char *from = getenv("TB_LOAD_SOURCE");
    if (from && sa && sa->sa_family == AF_INET) {
        struct sockaddr_in src = {0};
        src.sin_family = AF_INET;
        if (inet_pton(AF_INET, from, &src.sin_addr) == 1)
            bind(fd, (struct sockaddr *)&src, sizeof src); /* a failure leaves the system's choice */
    }
    return real(fd, sa, len);
}
