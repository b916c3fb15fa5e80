// bench-tcp-scale: the real main window with N per-destination TCP clients at once. A child
// process serves an echo on 127.0.0.2 .. 127.0.0.(N+1), one port; the window connects one
// client per address as the operator would (Edit2, "Подключиться только для TCP" with
// "Вкл. создание RunTimerSocket" ticked), sends a text through each, waits for every echo in
// the memos and disconnects them all. Each operator action is its own turn of the event loop;
// a 1 ms heartbeat on the interface thread gives the longest stall.
//
// Runs a single client R times, then N clients once, and prints one "RESULT key=value ..."
// line: time per client for both, the longest stalls, resident memory at the start and after
// all N are disconnected.
//
// Usage: bench-tcp-scale [N=200] [R=20]

#include <QApplication>
#include <QTimer>

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench_env.h"
#include "ui/form1.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

std::string Address(int i) {
    return "127.0.0." + std::to_string(i + 2);
}

// Echo servers on `count` loopback addresses, in a child that dies with this process.
pid_t StartEchoServers(int count, std::uint16_t* port) {
    std::vector<int> listening;
    for (int i = 0; i < count; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(*port);
        inet_pton(AF_INET, Address(i).c_str(), &a.sin_addr);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            std::perror("echo server");
            std::exit(1);
        }
        *port = ntohs(a.sin_port);
        listening.push_back(fd);
    }
    const pid_t pid = fork();
    if (pid != 0) {
        for (const int fd : listening) close(fd);
        return pid;
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // epoll, so that the server's cost per event does not grow with the number of clients.
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    for (const int fd : listening) {
        epoll_event e{EPOLLIN, {.u64 = static_cast<std::uint64_t>(fd) | (1ull << 32)}};
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
    }
    char buffer[65536];
    epoll_event ready[64];
    for (;;) {
        const int n = epoll_wait(ep, ready, 64, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = static_cast<int>(ready[i].data.u64 & 0xffffffffu);
            if (ready[i].data.u64 >> 32) {
                const int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
                epoll_event e{EPOLLIN, {.u64 = static_cast<std::uint64_t>(c)}};
                if (c >= 0) epoll_ctl(ep, EPOLL_CTL_ADD, c, &e);
                continue;
            }
            const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0 || send(fd, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL) != got) {
                close(fd);  // leaves the epoll set with it
            }
        }
    }
}

// The desktop seam without desktop: any box is a failure of the run.
struct Round {
    double ms = 0;
    double stall_ms = 0;
    bool ok = false;
};

class Driver {
public:
    explicit Driver(ui::TForm1& form) : form_(form) {
        heartbeat_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&heartbeat_, &QTimer::timeout, [this] { Beat(); });
        heartbeat_.start(1);
    }

    // Connects, echoes through and disconnects `count` clients, one action per turn.
    Round Run(int count) {
        std::vector<std::function<bool()>> steps;  // a step returns false to be tried again
        const auto host = [this](int i) {
            form_.Edit2->setText(QString::fromStdString(Address(i)));
        };
        for (int i = 0; i < count; ++i) {
            steps.push_back([=, this] {
                host(i);
                form_.Button2->click();
                return true;
            });
        }
        steps.push_back([=, this] { return Connected() == count; });
        int reads = 0;
        const auto counter = QObject::connect(form_.Memo1, &ui::TMemo::Changed, [&] { ++reads; });
        for (int i = 0; i < count; ++i) {
            steps.push_back([=, this] {
                host(i);
                form_.Edit1->setText(QStringLiteral("ping ") + QString::number(i));
                form_.Button1->click();
                return true;
            });
        }
        steps.push_back([&] { return reads >= count; });
        for (int i = 0; i < count; ++i) {
            steps.push_back([=, this] {
                host(i);
                form_.Button3->click();
                return true;
            });
        }

        Round r;
        std::size_t next = 0;
        const Clock::time_point start = Clock::now();
        const Clock::time_point limit = start + std::chrono::seconds(60);
        stall_ = {};
        last_ = Clock::now();
        while (next < steps.size() && Clock::now() < limit) {
            if (steps[next]()) ++next;
            QApplication::processEvents(QEventLoop::AllEvents);
        }
        r.ms = Ms(Clock::now() - start);
        r.stall_ms = Ms(stall_);
        QObject::disconnect(counter);
        r.ok = next == steps.size() && Connected() == 0 && form_.ListBox1->count() == 0;
        // Every echo came back to its own client, shown with its address.
        const QStringList lines = form_.Memo2->Text().split(u'\n');
        for (int i = 0; i < count && r.ok; ++i) {
            const QString expected =
                QString::fromStdString(Address(i)) + QStringLiteral("ping ") + QString::number(i);
            r.ok = lines.contains(expected);
        }
        form_.Button8->click();
        return r;
    }

private:
    int Connected() const {
        int n = 0;
        for (const auto* c : form_.findChildren<net::TClientSocket*>(Qt::FindDirectChildrenOnly)) {
            if (c != form_.Client1 && c->Socket().Connected()) ++n;
        }
        return n;
    }
    void Beat() {
        const Clock::time_point now = Clock::now();
        stall_ = std::max(stall_, now - last_);
        last_ = now;
    }

    ui::TForm1& form_;
    QTimer heartbeat_;
    Clock::time_point last_;
    Clock::duration stall_{};
};

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 200;
    const int singles = argc > 2 ? std::atoi(argv[2]) : 20;
    std::uint16_t port = 0;
    const pid_t echo = StartEchoServers(count, &port);

    QApplication application(argc, argv);
    BenchEnv env;
    ui::TForm1 form(env);
    form.show();
    form.RadioButtonTCP->click();
    form.CheckBox6->click();
    form.Edit3->setText(QString::number(port));
    Driver driver(form);

    // One warm-up so that what is made once per run (fonts, the list's first item) is counted
    // in the start.
    driver.Run(1);
    malloc_trim(0);
    const long rss_start = ResidentKb();
    std::vector<double> single_ms, single_stall;
    bool ok = true;
    for (int i = 0; i < singles; ++i) {
        const Round r = driver.Run(1);
        ok = ok && r.ok;
        single_ms.push_back(r.ms);
        single_stall.push_back(r.stall_ms);
    }
    const long rss_before_many = ResidentKb();
    const Round many = driver.Run(count);
    ok = ok && many.ok && env.boxes == 0;
    const long rss_after = ResidentKb();
    malloc_trim(0);
    const long rss_after_trim = ResidentKb();

    std::sort(single_ms.begin(), single_ms.end());
    const double single = single_ms[single_ms.size() / 2];
    std::printf(
        "RESULT ok=%d clients=%d single_ms=%.2f many_ms=%.1f many_per_client_ms=%.2f"
        " per_client_ratio=%.2f single_stall_ms=%.1f many_stall_ms=%.1f rss_start_kb=%ld"
        " rss_before_many_kb=%ld rss_after_kb=%ld rss_after_trim_kb=%ld rss_growth_pct=%.1f"
        " rss_growth_trim_pct=%.1f\n",
        ok ? 1 : 0, count, single, many.ms, many.ms / count, many.ms / count / single,
        *std::max_element(single_stall.begin(), single_stall.end()), many.stall_ms, rss_start,
        rss_before_many, rss_after, rss_after_trim, 100.0 * (rss_after - rss_start) / rss_start,
        100.0 * (rss_after_trim - rss_start) / rss_start);
    kill(echo, SIGKILL);
    waitpid(echo, nullptr, 0);
    return ok ? 0 : 1;
}
