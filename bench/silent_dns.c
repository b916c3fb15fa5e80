/* bench-silent-dns: a name server that takes every query and never answers, on UDP and TCP.
 * Usage: bench-silent-dns ADDRESS PORT   Prints "READY" once both sockets listen, then sleeps
 * until it is killed. Queries stay unread in its buffers. */
#define _DEFAULT_SOURCE /* POSIX and BSD calls under a strict C standard too */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
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
