/* One end of a kernel TCP transfer for bench/report: the anchors beside which the stack's
 * figures are read, and the peer that times the stack's own runs.
 *
 *   kernel_end recv ADDR PORT CLAMP   listen on ADDR:PORT (CLAMP > 0: receive buffer and window
 *                                     clamped to CLAMP bytes), print "ready", take one
 *                                     connection, read until the peer closes, close, print
 *                                     "BYTES SECONDS" (from accept to the end of the data)
 *   kernel_end send ADDR PORT FILE    connect, send FILE, shut the sending side, wait until the
 *                                     peer closes, print "BYTES SECONDS" (from connect to the
 *                                     peer's close)
 *
 * The file is read into memory once before the clock starts, and one buffer serves every read:
 * the process does no allocation while it is timed, so what is measured is the kernel's TCP. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static char buffer[1 << 18];

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void fail(const char* what) {
    fprintf(stderr, "kernel_end: %s: %s\n", what, strerror(errno));
    exit(1);
}

static struct sockaddr_in address_of(const char* ip, const char* port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port   = htons((unsigned short)atoi(port));
    if (inet_pton(AF_INET, ip, &a.sin_addr) != 1) {
        fprintf(stderr, "kernel_end: bad address %s\n", ip);
        exit(2);
    }
    return a;
}

/* Reads until the peer closes; returns the bytes read. */
static long long drain(int fd) {
    long long total = 0;
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            total += n;
        } else if (n == 0) {
            return total;
        } else if (errno != EINTR) {
            fail("read");
        }
    }
}

static int receive(const char* ip, const char* port, int clamp) {
    struct sockaddr_in a = address_of(ip, port);
    int s                = socket(AF_INET, SOCK_STREAM, 0);
    int on               = 1;
    if (s < 0) {
        fail("socket");
    }
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    /* Set on the listener so the SYN-ACK already offers the clamped window. */
    if (clamp > 0 && (setsockopt(s, SOL_SOCKET, SO_RCVBUF, &clamp, sizeof clamp) != 0 ||
                      setsockopt(s, IPPROTO_TCP, TCP_WINDOW_CLAMP, &clamp, sizeof clamp) != 0)) {
        fail("clamp");
    }
    if (bind(s, (struct sockaddr*)&a, sizeof a) != 0 || listen(s, 1) != 0) {
        fail("listen");
    }
    printf("ready\n");
    fflush(stdout);
    int c = accept(s, NULL, NULL);
    if (c < 0) {
        fail("accept");
    }
    double start    = now();
    long long total = drain(c);
    double seconds  = now() - start;
    close(c);
    close(s);
    printf("%lld %.6f\n", total, seconds);
    return 0;
}

static int send_file(const char* ip, const char* port, const char* path) {
    int f = open(path, O_RDONLY);
    struct stat st;
    if (f < 0 || fstat(f, &st) != 0) {
        fail(path);
    }
    char* data = malloc((size_t)st.st_size);
    size_t got = 0;
    while (data != NULL && got < (size_t)st.st_size) {
        ssize_t n = read(f, data + got, (size_t)st.st_size - got);
        if (n <= 0) {
            fail(path);
        }
        got += (size_t)n;
    }
    close(f);
    if (data == NULL) {
        fail("malloc");
    }
    struct sockaddr_in a = address_of(ip, port);
    int s                = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0 || connect(s, (struct sockaddr*)&a, sizeof a) != 0) {
        fail("connect");
    }
    double start = now();
    size_t sent  = 0;
    while (sent < got) {
        ssize_t n = write(s, data + sent, got - sent);
        if (n > 0) {
            sent += (size_t)n;
        } else if (n < 0 && errno != EINTR) {
            fail("write");
        }
    }
    shutdown(s, SHUT_WR);
    drain(s);
    double seconds = now() - start;
    close(s);
    free(data);
    printf("%zu %.6f\n", sent, seconds);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "recv") == 0) {
        return receive(argv[2], argv[3], atoi(argv[4]));
    }
    if (argc == 5 && strcmp(argv[1], "send") == 0) {
        return send_file(argv[2], argv[3], argv[4]);
    }
    fprintf(stderr, "usage: kernel_end recv ADDR PORT CLAMP | send ADDR PORT FILE\n");
    return 2;
}
