// bench-form-host: runs the real main window (TForm1 with the real host seam) on a real X
// server, switches reception on as the operator does, and watches what a flood of datagrams
// does to it: the longest stall of the interface thread, the resident memory before and after,
// and whether every datagram became the one line of Memo1, its own line of Memo2 in order and,
// in programming mode, the parsed telemetry port. It sends nothing itself: the only datagrams
// that leave it are the window's echo replies.
//
// Prints "READY port=P rss_kb=K" once reception is on, then one "RESULT key=value ..." line
// (and with --profile, the time the interface thread spent per event type).

#include <QApplication>
#include <QEvent>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QWindow>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/env.h"
#include "message.h"
#include "timing_application.h"
#include "ui/form1.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

long StatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t n = std::char_traits<char>::length(field);
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + n, nullptr, 10);
    }
    return -1;
}

long ResidentKb() {
    return StatusKb("VmRSS:");
}

// The peak resident size since the last ResetPeak.
long PeakKb() {
    return StatusKb("VmHWM:");
}

void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

double CpuMs() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

// CPU time in ms of the interface thread and of the listener's, from the scheduler's own
// accounting (nanoseconds, where rusage counts whole ticks for a thread).
struct ThreadCpu {
    double ui_ms = 0, listener_ms = 0;
};

double SchedMs(const std::string& task) {
    std::ifstream in(task + "/schedstat");
    unsigned long long ns = 0;
    in >> ns;
    return static_cast<double>(ns) / 1e6;
}

ThreadCpu ThreadCpuMs() {
    ThreadCpu t;
    const std::string self = "/proc/self/task/" + std::to_string(getpid());
    t.ui_ms = SchedMs(self);
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return t;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string task = std::string("/proc/self/task/") + e->d_name;
        std::string comm;
        std::getline(std::ifstream(task + "/comm"), comm);
        if (comm == "orvan-listener") t.listener_ms += SchedMs(task);
    }
    closedir(dir);
    return t;
}

struct Options {
    int port = 6022;  // Edit3's default
    std::uint32_t count = 100000;
    std::size_t size = 100;
    bench::Kind kind = bench::Kind::Plain;
    std::string tab = "work";
    int idle_ms = 5000;  // no datagram for this long after the first ends the run
    bool profile = false;
    std::string capture;  // a pcapng file the window records its traffic in; "" for none
};

[[noreturn]] void Usage(const char* self) {
    std::fprintf(stderr,
                 "usage: %s [--port P] [--count N] [--size S] [--kind plain|reply]"
                 " [--tab work|config|stream] [--idle-ms T] [--profile] [--capture FILE]\n",
                 self);
    std::exit(2);
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--profile") {
            o.profile = true;
            continue;
        }
        if (i + 1 >= argc) Usage(argv[0]);
        const std::string value = argv[++i];
        if (arg == "--port") {
            o.port = std::atoi(value.c_str());
        } else if (arg == "--count") {
            o.count = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (arg == "--size") {
            o.size = std::strtoul(value.c_str(), nullptr, 10);
        } else if (arg == "--kind") {
            if (value != "plain" && value != "reply") Usage(argv[0]);
            o.kind = value == "plain" ? bench::Kind::Plain : bench::Kind::Reply;
        } else if (arg == "--tab") {
            if (value != "work" && value != "config" && value != "stream") Usage(argv[0]);
            o.tab = value;
        } else if (arg == "--idle-ms") {
            o.idle_ms = std::atoi(value.c_str());
        } else if (arg == "--capture") {
            o.capture = value;
        } else {
            Usage(argv[0]);
        }
    }
    if (o.size < bench::MinSize(o.kind)) Usage(argv[0]);
    return o;
}

class Probe {
public:
    Probe(const Options& o, TimingApplication& app) : o_(o), app_(app) {}

    void Attach(ui::TForm1* form) {
        form_ = form;
        form->PageControl1->setCurrentWidget(o_.tab == "work"     ? form->TabSheet1
                                             : o_.tab == "config" ? form->TabSheet2
                                                                  : form->TabSheet3);
        auto original = form->UDPServer->OnUDPRead;
        form->UDPServer->OnUDPRead = [this, original](net::TIdUDPServer& sender,
                                                      std::string_view data,
                                                      net::TIdSocketHandle& binding) {
            if (received_ == 0) first_ = last_ = Clock::now();
            try {
                original(sender, data, binding);
            } catch (...) {
                Check(data);
                throw;
            }
            Check(data);
        };

        heartbeat_.setTimerType(Qt::PreciseTimer);
        heartbeat_.setInterval(1);
        QObject::connect(&heartbeat_, &QTimer::timeout, [this] { Beat(); });
        watch_.setInterval(20);
        QObject::connect(&watch_, &QTimer::timeout, [this] { Watch(); });
        watch_.start();
        started_ = Clock::now();
    }

private:
    // Runs after every datagram, so it stays cheap next to the window's own work: no clock,
    // no copy of the memo's text.
    void Check(std::string_view data) {
        ++received_;
        const auto seq = bench::SeqOf(o_.kind, data);
        if (!seq || *seq < next_seq_) ++order_bad_;
        if (seq && *seq > next_seq_) skipped_ += *seq - next_seq_;
        if (seq) next_seq_ = *seq + 1;
        if (received_ <= seqs_.size()) seqs_[received_ - 1] = seq.value_or(UINT32_MAX);
        // ASCII only, so the shown text is the bytes as they are. One line of the datagram's
        // length that is the datagram: Memo1's whole text. Now and then, and for the last
        // one, the text as Text() gives it too.
        const QLatin1String sent(data.data(), static_cast<qsizetype>(data.size()));
        if (form_->Memo1->Size() != sent.size() + 1 || form_->Memo1->FirstLineView() != sent)
            ++memo1_bad_;
        if ((received_ % 4096 == 0 || received_ == o_.count) && form_->Memo1->Text() != sent)
            ++memo1_bad_;
        // The read side shows the latest reply once per frame: checked on screen below.
        if (o_.kind == bench::Kind::Reply && !seq) ++parse_bad_;
        if (seq) last_seq_ = *seq;
        if (received_ == o_.count) {
            last_ = Clock::now();
            QTimer::singleShot(kSettleMs, [this] { Finish(); });
        }
    }

    void Beat() {
        const Clock::time_point now = Clock::now();
        const double gap = Ms(now - last_beat_);
        last_beat_ = now;
        if (finished_) return;
        if (received_ == 0) {
            idle_max_gap_ = std::max(idle_max_gap_, gap);
            return;
        }
        if (gap > max_gap_) {
            max_gap_ = gap;
            max_gap_at_ = received_;
        }
        // How long the documents on screen went without taking in data that had arrived.
        Follow(form_->Memo1, form_->Memo1->document()->firstBlock().text(), memo1_);
        Follow(form_->Memo2, QString::number(form_->Memo2->document()->blockCount()), memo2_);
        if (o_.kind == bench::Kind::Reply) Follow(form_->Edit4, form_->Edit4->text(), edit4_);
    }

    struct Screen {
        QString shown;
        Clock::time_point since{};
        std::uint64_t received = 0;  // datagrams handled when it last changed
        double max_lag_ms = 0;
    };

    void Follow(const QWidget* widget, const QString& shown, Screen& s) {
        const Clock::time_point now = Clock::now();
        if (s.since == Clock::time_point{}) s.since = first_;
        if (!widget->isVisible()) {  // a hidden memo is behind nobody's eyes
            s.since = now;
            s.received = received_;
            return;
        }
        if (shown != s.shown) {
            s.shown = shown;
            s.since = now;
            s.received = received_;
        } else if (received_ > s.received) {
            s.max_lag_ms = std::max(s.max_lag_ms, Ms(now - s.since));
        }
    }

    void Watch() {
        const Clock::time_point now = Clock::now();
        if (!armed_) {
            const QWindow* w = form_->windowHandle();
            if (w == nullptr || !w->isExposed()) {
                if (now - started_ > std::chrono::seconds(30)) Fail("window never exposed");
                return;
            }
            if (!exposed_) {
                exposed_ = true;
                exposed_at_ = now;
            }
            // Let the first paint and the start-up work settle before reception goes on.
            if (now - exposed_at_ < std::chrono::milliseconds(500)) return;
            Arm();
            return;
        }
        if (finished_) return;
        if (received_ == 0 && now - ready_ > std::chrono::seconds(120)) Finish();
        // Datagrams are not timed one by one: the last one came when this last saw the count
        // change.
        if (received_ != watched_) {
            watched_ = received_;
            if (received_ < o_.count) last_ = now;
        }
        if (received_ > 0 && received_ < o_.count &&
            now - last_ > std::chrono::milliseconds(o_.idle_ms))
            Finish();
    }

    void Arm() {
        armed_ = true;
        if (o_.tab == "config") form_->CheckBox3->click();  // programming mode
        if (form_->Edit3->text() != QString::number(o_.port))
            form_->Edit3->setText(QString::number(o_.port));
        form_->CheckBox1->click();
        if (!form_->CheckBox1->isChecked() || !form_->UDPServer->Active())
            Fail("reception did not switch on");
        QCoreApplication::processEvents();
        memo2_before_ = form_->Memo2->Text();
        seqs_.assign(o_.count, 0);  // written now, so that it is in the memory before
        rss_before_ = ResidentKb();
        ResetPeak();
        cpu_before_ = CpuMs();
        threads_before_ = ThreadCpuMs();
        ready_ = Clock::now();
        last_beat_ = ready_;
        heartbeat_.start();
        if (o_.profile) {
            app_.OnEvent = [this](const char*, int type, double ms) {
                Cost& c = costs_[type];
                c.ms += ms;
                c.max_ms = std::max(c.max_ms, ms);
                ++c.count;
            };
        }
        std::printf("READY port=%d rss_kb=%ld\n", o_.port, rss_before_);
        std::fflush(stdout);
    }

    void Finish() {
        if (finished_) return;
        finished_ = true;
        app_.OnEvent = nullptr;
        heartbeat_.stop();
        const long rss_after = ResidentKb();
        const double cpu_ms = CpuMs() - cpu_before_;
        const ThreadCpu threads = ThreadCpuMs();

        // Memo2: what it held before, then one line per datagram in the order received; past
        // its budget only the newest of them, each whole.
        const long peak = PeakKb();
        // The last reply reached the read side by itself, within the settling time.
        if (o_.kind == bench::Kind::Reply &&
            form_->Edit4->text() != QString::number(static_cast<qulonglong>(last_seq_) + 1))
            ++parse_bad_;
        const QString text = form_->Memo2->Text();
        const QStringList lines = text.split(u'\n');
        std::uint64_t memo2_ok = 0, memo2_lines = 0;
        const bool prefix_ok = text.startsWith(memo2_before_ + u'\n');
        for (qsizetype k = 0; k < lines.size(); ++k) {
            const qsizetype from_end = lines.size() - 1 - k;
            if (static_cast<std::uint64_t>(from_end) >= received_) continue;  // the start text
            ++memo2_lines;
            const auto at =
                static_cast<std::size_t>(received_ - 1 - static_cast<std::uint64_t>(from_end));
            if (at >= seqs_.size() || seqs_[at] == UINT32_MAX) continue;
            const std::string expected = bench::MakeMessage(o_.kind, seqs_[at], o_.size);
            if (lines[k] == QLatin1String(expected.data(), static_cast<qsizetype>(expected.size())))
                ++memo2_ok;
        }
        const double span = received_ > 1 ? Ms(last_ - first_) / 1000 : 0;
        std::printf(
            "RESULT received=%llu expected=%u order_bad=%llu memo1_bad=%llu parse_bad=%llu "
            "memo2_prefix_ok=%d memo2_lines=%llu memo2_ok=%llu skipped=%llu max_stall_ms=%.1f "
            "memo1_screen_lag_ms=%.1f memo2_screen_lag_ms=%.1f "
            "max_stall_at=%llu idle_max_gap_ms=%.1f rss_before_kb=%ld rss_after_kb=%ld "
            "handled_per_s=%.1f cpu_ms=%.1f "
            "peak_kb=%ld memo2_chars=%lld memo_budget=%lld read_side_lag_ms=%.1f "
            "ui_cpu_ms=%.1f listener_cpu_ms=%.1f\n",
            static_cast<unsigned long long>(received_), o_.count,
            static_cast<unsigned long long>(order_bad_),
            static_cast<unsigned long long>(memo1_bad_),
            static_cast<unsigned long long>(parse_bad_), prefix_ok ? 1 : 0,
            static_cast<unsigned long long>(memo2_lines), static_cast<unsigned long long>(memo2_ok),
            static_cast<unsigned long long>(skipped_), max_gap_, memo1_.max_lag_ms,
            memo2_.max_lag_ms, static_cast<unsigned long long>(max_gap_at_), idle_max_gap_,
            rss_before_, rss_after, span > 0 ? static_cast<double>(received_) / span : 0, cpu_ms,
            peak, static_cast<long long>(form_->Memo2->Size()),
            static_cast<long long>(form_->Memo2->Budget()), edit4_.max_lag_ms,
            threads.ui_ms - threads_before_.ui_ms,
            threads.listener_ms - threads_before_.listener_ms);
        if (o_.profile) {
            std::printf("PROFILE event_type count total_ms max_ms\n");
            for (const auto& [type, c] : costs_) {
                std::printf("PROFILE %d %llu %.1f %.2f\n", type,
                            static_cast<unsigned long long>(c.count), c.ms, c.max_ms);
            }
        }
        std::fflush(stdout);
        form_->close();
    }

    [[noreturn]] void Fail(const char* why) {
        std::printf("RESULT failed=\"%s\"\n", why);
        std::fflush(stdout);
        std::_Exit(1);
    }

    static constexpr int kSettleMs = 200;  // lets the memos catch up and paint after the last

    const Options o_;
    TimingApplication& app_;
    // The window's time per event type, when profiling.
    struct Cost {
        double ms = 0;
        double max_ms = 0;
        std::uint64_t count = 0;
    };
    std::map<int, Cost> costs_;
    ui::TForm1* form_ = nullptr;
    QTimer heartbeat_, watch_;
    bool exposed_ = false, armed_ = false, finished_ = false;
    Clock::time_point started_, exposed_at_, ready_, first_, last_, last_beat_;
    std::uint64_t received_ = 0, order_bad_ = 0, memo1_bad_ = 0, parse_bad_ = 0, skipped_ = 0;
    Screen memo1_, memo2_, edit4_;
    std::uint32_t last_seq_ = 0;
    std::uint32_t next_seq_ = 0;
    std::uint64_t max_gap_at_ = 0;
    double max_gap_ = 0, idle_max_gap_ = 0;
    std::uint64_t watched_ = 0;  // received_ when Watch last looked
    long rss_before_ = 0;
    double cpu_before_ = 0;
    ThreadCpu threads_before_;
    QString memo2_before_;
    std::vector<std::uint32_t> seqs_;  // sequence number of each datagram, in arrival order
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = Parse(argc, argv);
    // Painting must be paid for: a real X server, not the offscreen platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");
    std::unique_ptr<capture::Recorder> recorder;
    if (!options.capture.empty()) {
        capture::Options capture;
        capture.path = options.capture;
        capture.overwrite = true;
        capture.program = "bench-form-host";
        capture.application = "bench-form-host";
        recorder = std::make_unique<capture::Recorder>(capture);
    }
    TimingApplication application(argc, argv);
    app::SystemEnv env(recorder.get());
    Probe probe(options, application);
    return app::RunApplication(env, [&] {
        auto form = std::make_unique<ui::TForm1>(env);
        probe.Attach(form.get());
        return form;
    });
}
