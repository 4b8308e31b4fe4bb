/* The yardstick of bench/get_throughput: a plain TCP copy of a file over
 * loopback, with no protocol on top.
 *
 *   raw_copy recv [BUF]            listen on 127.0.0.1, print the port, accept
 *                                  one connection, read and discard until the
 *                                  sender shuts its side, print the byte
 *                                  count, close.
 *   raw_copy send PORT FILE [BUF]  connect to 127.0.0.1:PORT, read FILE in
 *                                  64 KiB pieces and write each to the socket,
 *                                  shut the sending side, wait until the
 *                                  receiver closes, then print "BYTES START
 *                                  END": the bytes sent and the CLOCK_MONOTONIC
 *                                  seconds at the connect and at the
 *                                  receiver's close.
 *
 * The sender and the receiver run as two processes, as a server and a client
 * do. Waiting for the receiver's close means the time covers every byte
 * received, not only handed to the kernel. Both read and write 64 KiB at a
 * time. BUF, when given and not 0, sets the socket's receive (recv) or send
 * (send) buffer in bytes, which turns off the kernel's autotuning: many copies
 * at once run far faster with small buffers, likely because their bytes are
 * still in the CPU cache when the receiver reads them. */
#define _POSIX_C_SOURCE 200809L
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { piece = 64 * 1024 };

static char buf[piece];

static void die(const char *what)
{
    fprintf(stderr, "raw_copy: %s: %s\n", what, strerror(errno));
    exit(1);
}

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static struct sockaddr_in loopback(unsigned port)
{
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

static void set_buffer(int fd, int option, int bytes)
{
    if (bytes > 0 && setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes) < 0)
        die("setsockopt");
}

static int receive(int bufsize)
{
    int srv = socket(AF_INET, SOCK_STREAM, 0);
    if (srv < 0)
        die("socket");
    set_buffer(srv, SO_RCVBUF, bufsize);  /* before listen, so the window is sized from it */
    struct sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (bind(srv, (struct sockaddr *)&a, sizeof a) < 0 || listen(srv, 1) < 0 ||
        getsockname(srv, (struct sockaddr *)&a, &len) < 0)
        die("listen");
    printf("%u\n", ntohs(a.sin_port));
    fflush(stdout);
    int c = accept(srv, NULL, NULL);
    if (c < 0)
        die("accept");
    unsigned long long total = 0;
    for (;;) {
        ssize_t n = read(c, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            die("read");
        }
        total += (unsigned long long)n;
    }
    printf("%llu\n", total);
    fflush(stdout);
    close(c);
    close(srv);
    return 0;
}

static void write_all(int fd, const char *p, size_t n)
{
    while (n) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            die("write");
        }
        p += w;
        n -= (size_t)w;
    }
}

static int send_file(unsigned port, const char *path, int bufsize)
{
    int f = open(path, O_RDONLY);
    if (f < 0)
        die(path);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        die("socket");
    set_buffer(s, SO_SNDBUF, bufsize);
    struct sockaddr_in a = loopback(port);
    double start = now();
    if (connect(s, (struct sockaddr *)&a, sizeof a) < 0)
        die("connect");
    unsigned long long total = 0;
    for (;;) {
        ssize_t n = read(f, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            die(path);
        }
        write_all(s, buf, (size_t)n);
        total += (unsigned long long)n;
    }
    if (shutdown(s, SHUT_WR) < 0)
        die("shutdown");
    /* The receiver closes once it has read everything. */
    while (read(s, buf, sizeof buf) > 0)
        ;
    double end = now();
    printf("%llu %.6f %.6f\n", total, start, end);
    close(s);
    close(f);
    return 0;
}

int main(int argc, char **argv)
{
    if ((argc == 2 || argc == 3) && strcmp(argv[1], "recv") == 0)
        return receive(argc == 3 ? atoi(argv[2]) : 0);
    if ((argc == 4 || argc == 5) && strcmp(argv[1], "send") == 0)
        return send_file((unsigned)strtoul(argv[2], NULL, 10), argv[3], argc == 5 ? atoi(argv[4]) : 0);
    fputs("usage: raw_copy recv [BUF] | raw_copy send PORT FILE [BUF]\n", stderr);
    return 2;
}
