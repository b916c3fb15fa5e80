// bench-tcp-read: how fast the real main window consumes a TCP stream on Client1, against
// any other consumer of the same stream (socat to /dev/null is the reference).
//
//   bench-tcp-read serve BYTES COMMAND...   listens on 127.0.0.1, runs COMMAND with every
//       "{PORT}" replaced, sends BYTES to the one connection it accepts and waits for the peer
//       to close. Prints "SERVED bytes=B seconds=S child_cpu_ms=C": seconds from the accept
//       to the peer's close (everything consumed), the command's CPU time.
//   bench-tcp-read window PORT work|stream  the window: TCP mode, Client1 connected to
//       127.0.0.1:PORT as the operator does it, "Work Socket" (Memo1 in view) or
//       "Stream Work Socket +" (Memo2 in view). Prints "RESULT seconds=S cpu_ms=C
//       max_stall_ms=M max_stall_cpu_ms=W ..." from the connect to the disconnect: the
//       interface thread's CPU time, its longest stall (1 ms heartbeat) and the most CPU time
//       it spent between two beats.

#include <QApplication>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_env.h"
#include "timing_application.h"
#include "ui/form1.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Printable, no line breaks: every read is one line of the memos. The stream repeats it
// every mebibyte.
char StreamByte(std::uint64_t at) {
    return static_cast<char>('!' + (at * 7 + at / 997) % 90);
}

int Serve(std::uint64_t bytes, std::vector<std::string> command) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::perror("listen");
        return 1;
    }
    const std::string port = std::to_string(ntohs(addr.sin_port));
    for (std::string& arg : command) {
        for (std::size_t at; (at = arg.find("{PORT}")) != std::string::npos;) {
            arg.replace(at, 6, port);
        }
    }
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv;
        for (std::string& arg : command) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        std::perror("exec");
        _exit(127);
    }
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        std::perror("accept");
        return 1;
    }
    const Clock::time_point start = Clock::now();
    // Made once: the sender must cost next to nothing beside the consumers it times.
    std::string chunk(1 << 20, '\0');
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = StreamByte(i);
    std::uint64_t sent = 0;
    while (sent < bytes) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), bytes - sent));
        const ssize_t w = send(fd, chunk.data(), n, MSG_NOSIGNAL);
        if (w < 0) {
            std::perror("send");
            return 1;
        }
        sent += static_cast<std::uint64_t>(w);
    }
    shutdown(fd, SHUT_WR);
    char sink[4096];
    while (recv(fd, sink, sizeof sink, 0) > 0) {
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    int status = 0;
    rusage ru{};
    wait4(child, &status, 0, &ru);
    std::printf("SERVED bytes=%llu seconds=%.3f child_cpu_ms=%.1f child_status=%d\n",
                static_cast<unsigned long long>(sent), seconds,
                static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
                    static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

int Window(int argc, char** argv, int port, const std::string& tab) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");
    TimingApplication application(argc, argv);
    double longest_ms = 0;
    std::string longest_what;
    // The longest event, and what it went to, tell what a stall is made of.
    application.OnEvent = [&](const char* cls, int type, double ms) {
        if (ms <= longest_ms) return;
        longest_ms = ms;
        longest_what = std::string(cls) + "/" + std::to_string(type);
    };
    BenchEnv env;
    ui::TForm1 form(env);
    form.show();
    form.PageControl1->setCurrentWidget(tab == "stream" ? form.TabSheet3 : form.TabSheet1);
    form.RadioButtonTCP->click();
    form.Edit2->setText(QStringLiteral("127.0.0.1"));
    form.Edit3->setText(QString::number(port));

    Clock::time_point connected{}, last_beat{};
    double cpu_at_connect = 0, max_stall = 0, last_beat_cpu = 0, max_stall_cpu = 0;
    bool done = false;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(1);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        const double cpu = ThreadCpuMs();
        max_stall = std::max(max_stall, Ms(now - last_beat));
        // The same gap counted in the thread's own CPU time: what it worked, whatever else
        // the machine was running meanwhile.
        max_stall_cpu = std::max(max_stall_cpu, cpu - last_beat_cpu);
        last_beat = now;
        last_beat_cpu = cpu;
    });
    auto onConnect = form.Client1->OnConnect;
    form.Client1->OnConnect = [&, onConnect](net::TClientSocket& c, net::TCustomWinSocket& s) {
        connected = last_beat = Clock::now();
        cpu_at_connect = last_beat_cpu = ThreadCpuMs();
        heartbeat.start();
        onConnect(c, s);
    };
    auto onDisconnect = form.Client1->OnDisconnect;
    form.Client1->OnDisconnect = [&, onDisconnect](net::TClientSocket& c,
                                                   net::TCustomWinSocket& s) {
        onDisconnect(c, s);
        if (done) return;
        done = true;
        const double seconds = std::chrono::duration<double>(Clock::now() - connected).count();
        const double cpu = ThreadCpuMs() - cpu_at_connect;
        heartbeat.stop();
        // The memos catch up, then the stream's end must be Memo2's end.
        QTimer::singleShot(100, [&, seconds, cpu] {
            const QString text = form.Memo2->Text();
            std::printf(
                "RESULT seconds=%.3f cpu_ms=%.1f max_stall_ms=%.1f max_stall_cpu_ms=%.1f "
                "memo2_chars=%lld boxes=%d longest_event_ms=%.1f longest_event=%s\n",
                seconds, cpu, max_stall, max_stall_cpu, static_cast<long long>(text.size()),
                env.boxes, longest_ms, longest_what.c_str());
            std::fflush(stdout);
            application.quit();
        });
    };
    // Let the window settle on screen before the stream starts.
    QTimer::singleShot(300, [&] { form.Button2->click(); });
    QTimer::singleShot(600000, [&] { application.quit(); });
    return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && argc > 3) {
        return Serve(std::strtoull(argv[2], nullptr, 10),
                     std::vector<std::string>(argv + 3, argv + argc));
    }
    if (mode == "window" && argc > 3) return Window(argc, argv, std::atoi(argv[2]), argv[3]);
    std::fprintf(stderr, "usage: %s serve BYTES COMMAND... | window PORT work|stream\n", argv[0]);
    return 2;
}
