// Threads with a termination flag, and calls handed to the main thread while
// the calling thread waits for them (Delphi's Synchronize).
//
// The main thread runs handed-over calls when its owner drains the queue (the
// window wakes itself through Qt for that) and while it waits for a thread to
// end, when it runs only that thread's calls: no deadlock, no re-entry.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class TThread;

namespace mainthread {

// Marks the calling thread as the main thread. Called once at start-up (the
// first TThread also does it for the thread that creates it).
void Adopt();
bool IsMainThread();
// Called from any thread after a call was queued; it must make the main thread
// call RunPending() soon. Replaced, not chained. An empty waker clears it.
void SetWaker(std::function<void()> waker);
// Runs every queued call, in queue order. Main thread only. Returns how many ran;
// none while a hold is open.
int RunPending();
// While a hold is open RunPending runs nothing: handed-over calls wait in the
// queue, and their threads with them, as while the main thread is busy. For a
// main thread that keeps handling events during work whose state the calls
// would change under it. Holds nest; the last release calls the waker when
// calls are waiting, so that they run from the event loop, never inside the
// release. Main thread only.
void Hold();
void Release();
// Gets one line for each handed-over call that ended in an exception: the call
// is over, its thread goes on, and the main thread lives on. Replaced, not
// chained; an empty reporter writes the line to standard error.
void SetErrorReporter(std::function<void(const std::string& line)> reporter);

} // namespace mainthread

class TThread {
public:
    TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    // Derived classes call Stop() in their own destructor, while their fields
    // still exist; this one only checks that they did.
    virtual ~TThread();

    void Start();
    // Asks the thread to end; does not wait. Also wakes SleepUnlessTerminated.
    void Terminate();
    bool Terminated() const { return FTerminated.load(); }
    // Waits until the thread has ended. On the main thread, runs this thread's
    // handed-over calls meanwhile. Once termination is asked, repeats
    // TerminateRequested every few milliseconds until the thread ends. Safe to
    // call on a thread never started.
    void WaitFor();
    // Terminate, then WaitFor.
    void Stop();

protected:
    virtual void Execute() = 0;
    // Runs on the thread that called Terminate(), after the flag is set: the place
    // to cancel a blocking wait. WaitFor runs it again while the thread goes on,
    // so a cancel that came just before the thread began its wait, and was lost
    // there, is followed by one that finds the wait running.
    virtual void TerminateRequested() {}
    // Runs `call` on the main thread and returns once it has run there.
    void Synchronize(const std::function<void()>& call);
    // Sleeps up to `duration`; returns early, false, once termination is asked.
    bool SleepUnlessTerminated(std::chrono::milliseconds duration);

private:
    void Run();

    std::thread FThread;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::mutex FSleepMutex;
    std::condition_variable FSleep;
};
