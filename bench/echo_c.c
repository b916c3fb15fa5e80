/* The reference for the listener benchmark: a plain C UDP echo server on one thread that takes
 * up to 64 datagrams per recvmmsg and answers them in one sendmmsg, each with the bytes Orvan
 * sends: "Replied from " + host name + " to \"" + message + "\"".
 * Usage: bench-echo-c PORT   (binds all interfaces, as Orvan's second binding does) */
#define _GNU_SOURCE /* recvmmsg, sendmmsg */
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

enum { kBufferSize = 8192, kHostRoom = 256, kBatch = 64 };
enum { kReplyRoom = kBufferSize + kHostRoom + 32 };

static volatile sig_atomic_t stop;

static void on_signal(int sig) {
    (void)sig;
    stop = 1;
}

static char in[kBatch][kBufferSize];
static char out[kBatch][kReplyRoom];

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal; /* no SA_RESTART: a signal ends the blocking recvmmsg */
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

    static struct mmsghdr msgs[kBatch], replies[kBatch];
    static struct iovec iov[kBatch], reply_iov[kBatch];
    static struct sockaddr_in peers[kBatch];
    unsigned long long served = 0;
    while (!stop) {
        for (int i = 0; i < kBatch; ++i) {
            memset(&msgs[i], 0, sizeof msgs[i]);
            iov[i].iov_base = in[i];
            iov[i].iov_len = sizeof in[i];
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_name = &peers[i];
            msgs[i].msg_hdr.msg_namelen = sizeof peers[i];
        }
        int got = recvmmsg(fd, msgs, kBatch, MSG_WAITFORONE | MSG_TRUNC, NULL);
        if (got < 0) {
            if (errno == EINTR) continue;
            perror("recvmmsg");
            return 1;
        }
        /* The host name as the system reports it when the replies are built, as Orvan does. */
        char host[kHostRoom] = {0};
        gethostname(host, sizeof host - 1);
        size_t host_len = strlen(host);
        int n = 0;
        for (int i = 0; i < got; ++i) {
            size_t len = msgs[i].msg_len;
            if ((msgs[i].msg_hdr.msg_flags & MSG_TRUNC) || len > kBufferSize) continue;
            char* o = out[n];
            size_t at = 0;
            memcpy(o + at, "Replied from ", 13);
            at += 13;
            memcpy(o + at, host, host_len);
            at += host_len;
            memcpy(o + at, " to \"", 5);
            at += 5;
            memcpy(o + at, in[i], len);
            at += len;
            o[at++] = '"';
            memset(&replies[n], 0, sizeof replies[n]);
            reply_iov[n].iov_base = o;
            reply_iov[n].iov_len = at;
            replies[n].msg_hdr.msg_iov = &reply_iov[n];
            replies[n].msg_hdr.msg_iovlen = 1;
            replies[n].msg_hdr.msg_name = &peers[i];
            replies[n].msg_hdr.msg_namelen = sizeof peers[i];
            ++n;
        }
        for (int done = 0; done < n;) {
            int sent = sendmmsg(fd, replies + done, (unsigned)(n - done), 0);
            if (sent < 0) {
                if (errno == EINTR && !stop) continue;
                if (errno != EINTR) perror("sendmmsg");
                ++done; /* that one is dropped; the rest still go */
                continue;
            }
            done += sent;
        }
        served += (unsigned long long)n;
    }
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("served=%llu cpu_ms=%.1f\n", served,
           (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
               (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3);
    return 0;
}
