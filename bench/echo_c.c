/* The reference for the listener benchmark: the plainest UDP echo server, blocking
 * recvfrom/sendto on one socket, answering every datagram with the bytes Orvan sends:
 * "Replied from " + host name + " to \"" + message + "\"".
 * Usage: bench-echo-c PORT   (binds all interfaces, as Orvan's second binding does) */
#define _DEFAULT_SOURCE /* POSIX and BSD calls under a strict C standard too */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

enum { kBufferSize = 8192, kHostRoom = 256 };

static volatile sig_atomic_t stop;

static void on_signal(int sig) {
    (void)sig;
    stop = 1;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal; /* no SA_RESTART: a signal ends the blocking recvfrom */
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("socket");
        return 1;
    }
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons((unsigned short)atoi(argv[1]));
    if (bind(fd, (struct sockaddr*)&local, sizeof local) != 0) {
        perror("bind");
        return 1;
    }
    printf("READY port=%s\n", argv[1]);
    fflush(stdout);

    static char in[kBufferSize];
    static char out[kBufferSize + kHostRoom + 32];
    unsigned long long served = 0;
    while (!stop) {
        struct sockaddr_in peer;
        socklen_t peer_len = sizeof peer;
        ssize_t n = recvfrom(fd, in, sizeof in, MSG_TRUNC, (struct sockaddr*)&peer, &peer_len);
        if (n < 0) {
            if (errno == EINTR) continue;
            perror("recvfrom");
            return 1;
        }
        if ((size_t)n > sizeof in) continue; /* too long: dropped, as Orvan drops it */
        /* The host name as the system reports it when the reply is built, as Orvan does. */
        char host[kHostRoom] = {0};
        gethostname(host, sizeof host - 1);
        size_t len = 0;
        memcpy(out + len, "Replied from ", 13);
        len += 13;
        size_t host_len = strlen(host);
        memcpy(out + len, host, host_len);
        len += host_len;
        memcpy(out + len, " to \"", 5);
        len += 5;
        memcpy(out + len, in, (size_t)n);
        len += (size_t)n;
        out[len++] = '"';
        if (sendto(fd, out, len, 0, (struct sockaddr*)&peer, peer_len) < 0 && errno != EINTR) {
            perror("sendto");
        }
        ++served;
    }
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("served=%llu cpu_ms=%.1f\n", served,
           (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
               (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3);
    return 0;
}
