/* bench-silent-dns: a name server that takes every query and never answers, on UDP and TCP.
 * Usage: bench-silent-dns ADDRESS PORT   Prints "READY" once both sockets listen, then sleeps
 * until it is killed. Queries stay unread in its buffers.
 *        bench-silent-dns --lookup NAME  Looks NAME up as the program does (IPv4 only) and
 * exits 0 when it resolves, so that a script can check which way the lookup goes. */
#define _DEFAULT_SOURCE /* POSIX and BSD calls under a strict C standard too */
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int open_bound(int type, const char* address, int port) {
    const int fd = socket(AF_INET, type, 0);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    if (fd < 0 || inet_pton(AF_INET, address, &a.sin_addr) != 1 ||
        bind(fd, (struct sockaddr*)&a, sizeof a) != 0 ||
        (type == SOCK_STREAM && listen(fd, 64) != 0)) {
        perror("bench-silent-dns");
        exit(1);
    }
    return fd;
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--lookup") == 0) {
        struct addrinfo hints = {0};
        struct addrinfo* found = NULL;
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        const int rc = getaddrinfo(argv[2], NULL, &hints, &found);
        if (found != NULL) freeaddrinfo(found);
        return rc == 0 ? 0 : 1;
    }
    if (argc != 3) {
        fprintf(stderr, "usage: %s ADDRESS PORT\n", argv[0]);
        return 2;
    }
    open_bound(SOCK_DGRAM, argv[1], atoi(argv[2]));
    open_bound(SOCK_STREAM, argv[1], atoi(argv[2]));
    printf("READY\n");
    fflush(stdout);
    for (;;) pause();
}
