#include "device/runner.h"

#include <algorithm>
#include <ctime>
#include <exception>

#include "base/local_date_time.h"
#include "config/codec.h"

namespace device {
namespace {

enum class Step { kRead, kTimeDelay, kSettle, kVerify, kDone };

struct Job {
    const Task* task = nullptr;
    std::size_t index = 0;
    Step step = Step::kRead;
    Clock::time_point deadline;
    int triesLeft = 0;
    Ipv4 asked = 0;  // the address whose reply is awaited
    Settings target;
    std::optional<Settings> mismatch;  // the last verifying reply that did not match
    Result result;
};

class Runner {
public:
    Runner(DevicePort& port, const Timing& timing,
           const std::function<void(std::size_t, const Result&)>& done)
        : port_(port), timing_(timing), done_(done) {}

    void Start(Job& job) {
        job.result.address = job.task->address;
        Request(job, job.task->address, Step::kRead);
    }

    void OnReply(Job& job, const std::string& bytes) {
        const ParsedReply reply = ParseReply(bytes);
        const Settings& got = reply.settings;
        if (job.step == Step::kVerify) {
            if (reply.notWhole.empty() && got == job.target) {
                job.result.after = got;
                Finish(job, Outcome::kChanged, {});
            } else {
                job.mismatch = got;  // perhaps a late reply to an earlier request: wait on
            }
            return;
        }
        Read(job, reply);
    }

    void OnTimer(Job& job) {
        switch (job.step) {
            case Step::kRead:
            case Step::kVerify:
                if (job.triesLeft > 0) {
                    --job.triesLeft;
                    if (!SendOrFail(job, job.asked, config::RequestText())) return;
                    job.result.sent.request = true;
                    job.deadline = Clock::now() + timing_.timeout;
                } else if (job.step == Step::kRead) {
                    Finish(job, Outcome::kNoReply, NoReplyText(job));
                } else {
                    VerifyFailed(job);
                }
                return;
            case Step::kTimeDelay:
                if (!SendOrFail(job, job.task->address, TimeCommand())) return;
                job.result.sent.time = job.result.timeSent = true;
                AfterCommands(job);
                return;
            case Step::kSettle:
                Verify(job);
                return;
            case Step::kDone:
                return;
        }
    }

    void Finish(Job& job, Outcome outcome, std::string message) {
        if (outcome == Outcome::kInterrupted && message.empty()) message = InterruptedText(job);
        job.step = Step::kDone;
        job.result.outcome = outcome;
        if (!message.empty()) job.result.message = std::move(message);
        if (done_) done_(job.index, job.result);
    }

    // What stopped the run before a command, or null.
    std::exception_ptr StoppedBy() const { return stoppedBy_; }

private:
    static std::string TimeCommand() {
        return config::BuildTimeCommand(base::LocalDateTimeAt(std::time(nullptr)));
    }

    std::string NoReplyText(const Job& job) const {
        const int requests = timing_.retries + 1;
        return "no reply from " + FormatDotted(job.asked) + " port " +
               std::to_string(port_.Port()) + " after " + std::to_string(requests) +
               (requests == 1 ? " request" : " requests") + " (" +
               std::to_string(timing_.timeout.count()) + " ms each)";
    }

    static std::string InterruptedText(const Job& job) {
        const Sent& sent = job.result.sent;
        if (sent.command) {
            std::string text = "interrupted after the configuration command was sent";
            if (job.task->time && !sent.time) text += "; the time command was not sent";
            return text;
        }
        if (sent.time) return "interrupted after the time command was sent";
        return {};  // nothing but requests went out: the word says it all
    }

    // False (and the job failed) when the datagram could not go out. A verifying request
    // that cannot go out is the verify failing, not the change.
    bool SendOrFail(Job& job, Ipv4 to, const std::string& bytes) {
        try {
            port_.Send(to, bytes);
            anySent_ = true;
            return true;
        } catch (const PortTaken& e) {
            // Before anything went out the whole run ends; after, results are kept.
            if (!anySent_) throw;
            PortTakenFor(job, e);
            return false;
        } catch (const SendFailed& e) {
            if (job.step == Step::kVerify) {
                Finish(job, Outcome::kVerifyFailed, std::string("verify: ") + e.what());
            } else {
                Finish(job, Outcome::kFailed, e.what());
            }
            return false;
        }
    }

    // False (and the job ended, nothing sent) when the run was stopped by this or an earlier
    // beforeCommand failing.
    bool BeforeCommand(Job& job) {
        if (stoppedBy_) {
            Finish(job, Outcome::kInterrupted, "not sent: the run stopped before its command");
            return false;
        }
        try {
            if (timing_.beforeCommand) timing_.beforeCommand(*job.task, job.result);
            return true;
        } catch (const std::exception& e) {
            stoppedBy_ = std::current_exception();
            Finish(job, Outcome::kFailed, e.what());
            return false;
        }
    }

    void PortTakenFor(Job& job, const PortTaken& e) {
        job.result.portTaken = true;
        Finish(job,
               job.step == Step::kVerify || job.step == Step::kSettle ? Outcome::kVerifyFailed
                                                                      : Outcome::kFailed,
               e.what());
    }

    void Request(Job& job, Ipv4 to, Step step) {
        job.asked = to;
        job.step = step;
        job.triesLeft = timing_.retries;
        job.deadline = Clock::now() + timing_.timeout;
        if (SendOrFail(job, to, config::RequestText())) job.result.sent.request = true;
    }

    void Read(Job& job, const ParsedReply& reply) {
        const Task& task = *job.task;
        const Settings& got = reply.settings;
        job.result.before = got;
        job.result.outOfRange = reply.outOfRange;
        if (task.mac && got[Setting::kMac] && *got[Setting::kMac] != *task.mac) {
            job.result.otherDevice = true;
            Finish(job, Outcome::kFailed,
                   "the device reports the MAC text '" + *got[Setting::kMac] + "', not '" +
                       *task.mac + "'; nothing sent");
            return;
        }
        if (reply.Partial()) {
            const bool sends = task.wanted || task.time;
            Finish(job, Outcome::kPartial, reply.Why() + (sends ? "; nothing sent" : ""));
            return;
        }
        if (!task.wanted) {
            if (!task.time) {
                Finish(job, Outcome::kRead, {});
                return;
            }
            if (task.dryRun) {
                Finish(job, Outcome::kDryRun, {});
                return;
            }
            if (!BeforeCommand(job) || !SendOrFail(job, task.address, TimeCommand())) return;
            job.result.sent.time = job.result.timeSent = true;
            Finish(job, Outcome::kChanged, {});
            return;
        }
        job.target = Merge(got, *task.wanted);
        job.result.changes = Diff(got, *task.wanted);
        if (job.result.changes.empty()) {
            Finish(job, Outcome::kUnchanged, {});
            return;
        }
        try {
            job.result.command = ConfigCommand(job.target);
        } catch (const base::Error& e) {
            Finish(job, Outcome::kFailed, std::string("cannot build the command: ") + e.what());
            return;
        }
        if (task.dryRun) {
            Finish(job, Outcome::kDryRun, {});
            return;
        }
        if (!BeforeCommand(job) || !SendOrFail(job, task.address, job.result.command)) return;
        job.result.sent.command = true;
        if (task.time) {
            job.step = Step::kTimeDelay;
            job.deadline = Clock::now() + timing_.timeDelay;
            return;
        }
        AfterCommands(job);
    }

    void AfterCommands(Job& job) {
        if (!job.task->verify) {
            Finish(job, Outcome::kChanged, {});
            return;
        }
        // The device needs a moment to take the settings; a reply read earlier would be stale.
        job.step = Step::kSettle;
        job.deadline = Clock::now() + timing_.settle;
    }

    void Verify(Job& job) {
        Ipv4 at = job.task->address;
        const auto& newIp = job.target[Setting::kIp];
        if (newIp != job.result.before[Setting::kIp]) {
            at = *ParseDotted(*newIp);
            try {
                port_.Open(at);
            } catch (const PortTaken& e) {
                PortTakenFor(job, e);
                return;
            } catch (const SendFailed& e) {
                Finish(job, Outcome::kVerifyFailed,
                       "cannot verify at the new address " + *newIp + ": " + e.what());
                return;
            }
        }
        job.result.verifiedAt = at;
        job.mismatch.reset();
        Request(job, at, Step::kVerify);
    }

    void VerifyFailed(Job& job) {
        if (!job.mismatch) {
            Finish(job, Outcome::kVerifyFailed,
                   "verify: " + NoReplyText(job) + " after the command");
            return;
        }
        job.result.after = *job.mismatch;
        std::string text;
        for (Setting s : kAllSettings) {
            if ((*job.mismatch)[s] == job.target[s]) continue;
            text += (text.empty() ? "" : ", ") + std::string(Name(s)) + " is " +
                    job.mismatch->values[std::size_t(s)].value_or("(not converted)") + ", not " +
                    *job.target[s];
        }
        Finish(job, Outcome::kVerifyFailed, "verify: the device reports other settings: " + text);
    }

    DevicePort& port_;
    bool anySent_ = false;
    std::exception_ptr stoppedBy_;
    const Timing& timing_;
    const std::function<void(std::size_t, const Result&)>& done_;
};

}  // namespace

std::vector<Result> Run(DevicePort& port, const std::vector<Task>& tasks, std::size_t parallel,
                        const Timing& timing,
                        const std::function<void(std::size_t, const Result&)>& done) {
    parallel = std::clamp<std::size_t>(parallel, 1, 64);
    Runner runner(port, timing, done);
    std::vector<Job> jobs(tasks.size());
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        jobs[i].task = &tasks[i];
        jobs[i].index = i;
        jobs[i].result.address = tasks[i].address;
    }
    std::vector<Job*> active;
    std::size_t next = 0;
    std::vector<Datagram> received;
    while (!StopRequested()) {
        std::erase_if(active, [](const Job* j) { return j->step == Step::kDone; });
        while (active.size() < parallel && next < jobs.size() && !runner.StoppedBy()) {
            Job& job = jobs[next++];
            runner.Start(job);
            if (job.step != Step::kDone) active.push_back(&job);
        }
        if (active.empty()) break;

        Clock::time_point until = Clock::time_point::max();
        for (const Job* j : active) until = std::min(until, j->deadline);
        received.clear();
        port.Receive(until, received);
        for (const Datagram& d : received) {
            // The device answers from its own port; another port there is not the device.
            if (d.fromPort != port.Port()) continue;
            const auto it = std::find_if(active.begin(), active.end(), [&](const Job* j) {
                return (j->step == Step::kRead || j->step == Step::kVerify) && j->asked == d.from;
            });
            if (it != active.end()) runner.OnReply(**it, d.bytes);
        }
        const auto now = Clock::now();
        for (Job* j : active)
            if (j->step != Step::kDone && j->deadline <= now) runner.OnTimer(*j);
    }
    std::vector<Result> results;
    for (Job& job : jobs) {
        if (job.step != Step::kDone) {
            runner.Finish(job, Outcome::kInterrupted,
                          runner.StoppedBy() && !job.result.sent.request
                              ? "not started: the run stopped before it"
                              : "");
        }
        results.push_back(std::move(job.result));
    }
    if (runner.StoppedBy()) std::rethrow_exception(runner.StoppedBy());
    return results;
}

void SendTime(DevicePort& port, Ipv4 address) {
    port.Send(address, config::BuildTimeCommand(base::LocalDateTimeAt(std::time(nullptr))));
}

}  // namespace device
