#include "platform/Thread.h"

#include <cassert>
#include <cstdio>
#include <deque>
#include <exception>
#include <future>
#include <memory>

namespace {

// How often a wait for a thread asked to end repeats its wake-up.
constexpr std::chrono::milliseconds kRepeatTerminate{10};

struct TPendingCall {
    const TThread* From;
    std::function<void()> Call;
    std::promise<void> Done;
};

struct TQueue {
    std::mutex Mutex;
    std::condition_variable Changed; // a call was queued or a thread finished
    std::deque<std::shared_ptr<TPendingCall>> Calls;
    std::function<void()> Waker;
    std::function<void(const std::string&)> ErrorReporter;
    std::thread::id MainThread;
    bool HasMainThread = false;
    int Holds = 0;
};

TQueue& Queue() {
    static TQueue queue;
    return queue;
}

std::shared_ptr<TPendingCall> TakeNext(const TThread* from) {
    TQueue& q = Queue();
    std::lock_guard lock(q.Mutex);
    for (auto it = q.Calls.begin(); it != q.Calls.end(); ++it) {
        if (from == nullptr || (*it)->From == from) {
            auto call = *it;
            q.Calls.erase(it);
            return call;
        }
    }
    return nullptr;
}

void ReportError(const std::string& what) {
    const std::string line = "A watcher's report failed: " + what;
    std::function<void(const std::string&)> reporter;
    {
        TQueue& q = Queue();
        std::lock_guard lock(q.Mutex);
        reporter = q.ErrorReporter;
    }
    if (reporter) {
        reporter(line);
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

// The exception stays on the main thread: handed back, it would end the
// waiting thread, and with it the program. The caller learns nothing of it;
// what it handed over is a report, not a question.
void RunCall(TPendingCall& pending) {
    try {
        pending.Call();
    } catch (const std::exception& error) {
        ReportError(error.what());
    } catch (...) {
        ReportError("unknown exception");
    }
    pending.Done.set_value();
}

} // namespace

namespace mainthread {

void Adopt() {
    TQueue& q = Queue();
    std::lock_guard lock(q.Mutex);
    q.MainThread = std::this_thread::get_id();
    q.HasMainThread = true;
}

bool IsMainThread() {
    TQueue& q = Queue();
    std::lock_guard lock(q.Mutex);
    return q.HasMainThread && q.MainThread == std::this_thread::get_id();
}

void SetWaker(std::function<void()> waker) {
    TQueue& q = Queue();
    std::lock_guard lock(q.Mutex);
    q.Waker = std::move(waker);
}

void SetErrorReporter(std::function<void(const std::string& line)> reporter) {
    TQueue& q = Queue();
    std::lock_guard lock(q.Mutex);
    q.ErrorReporter = std::move(reporter);
}

void Hold() {
    TQueue& q = Queue();
    std::lock_guard lock(q.Mutex);
    ++q.Holds;
}

void Release() {
    std::function<void()> waker;
    {
        TQueue& q = Queue();
        std::lock_guard lock(q.Mutex);
        if (q.Holds == 0 || --q.Holds > 0 || q.Calls.empty()) {
            return;
        }
        // Their own wake-up was spent while the hold was open.
        waker = q.Waker;
    }
    if (waker) {
        waker();
    }
}

int RunPending() {
    int count = 0;
    for (;;) {
        std::shared_ptr<TPendingCall> call;
        {
            // A call that opens a hold stops the calls after it as well.
            TQueue& q = Queue();
            std::lock_guard lock(q.Mutex);
            if (q.Holds > 0 || q.Calls.empty()) {
                break;
            }
            call = q.Calls.front();
            q.Calls.pop_front();
        }
        RunCall(*call);
        ++count;
    }
    return count;
}

} // namespace mainthread

TThread::TThread() {
    TQueue& q = Queue();
    std::lock_guard lock(q.Mutex);
    if (!q.HasMainThread) {
        q.MainThread = std::this_thread::get_id();
        q.HasMainThread = true;
    }
}

TThread::~TThread() {
    // A derived destructor that forgot Stop() would leave Execute() running on a
    // half-destroyed object; fail loudly rather than corrupt memory.
    assert(!FThread.joinable() && "derived thread class must call Stop() in its destructor");
    if (FThread.joinable()) {
        Stop();
    }
}

void TThread::Start() {
    if (!FThread.joinable() && !FFinished) {
        FThread = std::thread(&TThread::Run, this);
    }
}

void TThread::Run() {
    Execute();
    TQueue& q = Queue();
    {
        std::lock_guard lock(q.Mutex);
        FFinished = true;
    }
    q.Changed.notify_all();
}

void TThread::Terminate() {
    {
        std::lock_guard lock(FSleepMutex);
        FTerminated = true;
    }
    FSleep.notify_all();
    TerminateRequested();
}

void TThread::WaitFor() {
    if (!FThread.joinable()) {
        return;
    }
    const bool runCalls = mainthread::IsMainThread();
    TQueue& q = Queue();
    for (;;) {
        while (runCalls) {
            auto call = TakeNext(this);
            if (!call) {
                break;
            }
            RunCall(*call);
        }
        bool timedOut = false;
        {
            std::unique_lock lock(q.Mutex);
            if (FFinished) {
                break;
            }
            timedOut = !q.Changed.wait_for(lock, kRepeatTerminate, [&] {
                if (FFinished) {
                    return true;
                }
                if (!runCalls) {
                    return false;
                }
                for (const auto& call : q.Calls) {
                    if (call->From == this) {
                        return true;
                    }
                }
                return false;
            });
        }
        if (timedOut && Terminated()) {
            TerminateRequested();
        }
    }
    FThread.join();
}

void TThread::Stop() {
    Terminate();
    WaitFor();
}

void TThread::Synchronize(const std::function<void()>& call) {
    if (mainthread::IsMainThread()) {
        call();
        return;
    }
    auto pending = std::make_shared<TPendingCall>();
    pending->From = this;
    pending->Call = call;
    auto done = pending->Done.get_future();
    TQueue& q = Queue();
    std::function<void()> waker;
    {
        std::lock_guard lock(q.Mutex);
        q.Calls.push_back(pending);
        waker = q.Waker;
    }
    q.Changed.notify_all();
    if (waker) {
        waker();
    }
    done.get();
}

bool TThread::SleepUnlessTerminated(std::chrono::milliseconds duration) {
    std::unique_lock lock(FSleepMutex);
    return !FSleep.wait_for(lock, duration, [this] { return FTerminated.load(); });
}
