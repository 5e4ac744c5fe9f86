#include "platform/Thread.h"
#include "platform/Platform.h"

#include "MainThreadPump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#else
#include <cstdlib>
#include <iconv.h>
#endif

using namespace std::chrono_literals;

namespace {

// A thread that runs a given body; Synchronize and the sleep are reachable from it.
class TLambdaThread : public TThread {
public:
    explicit TLambdaThread(std::function<void(TLambdaThread&)> body) : Body(std::move(body)) {}
    ~TLambdaThread() override { Stop(); }
    using TThread::SleepUnlessTerminated;
    using TThread::Synchronize;

protected:
    void Execute() override { Body(*this); }

private:
    std::function<void(TLambdaThread&)> Body;
};

class ThreadTest : public ::testing::Test {
protected:
    void SetUp() override { mainthread::Adopt(); }
    void TearDown() override { mainthread::SetWaker({}); }
};

} // namespace

TEST_F(ThreadTest, SynchronizedCallRunsOnTheMainThreadWhileTheWorkerWaits) {
    std::atomic<bool> ranOnMain{false};
    std::atomic<bool> workerResumed{false};
    std::atomic<int> wakeUps{0};
    mainthread::SetWaker([&] { ++wakeUps; });
    TLambdaThread thread([&](TLambdaThread& self) {
        self.Synchronize([&] { ranOnMain = mainthread::IsMainThread(); });
        workerResumed = true;
    });
    thread.Start();
    ASSERT_TRUE(PumpUntil([&] { return workerResumed.load(); }));
    EXPECT_TRUE(ranOnMain);
    EXPECT_GE(wakeUps.load(), 1);
}

TEST_F(ThreadTest, AHandedOverCallThatThrowsIsReportedOnTheMainThreadAndBothGoOn) {
    std::vector<std::string> lines;
    bool reportedOnMain = false;
    mainthread::SetErrorReporter([&](const std::string& line) {
        lines.push_back(line);
        reportedOnMain = mainthread::IsMainThread();
    });
    std::atomic<int> reports{0};
    TLambdaThread thread([&](TLambdaThread& self) {
        self.Synchronize([] { throw std::runtime_error("thread cannot start"); });
        self.Synchronize([&] { ++reports; });
    });
    thread.Start();
    ASSERT_TRUE(PumpUntil([&] { return reports.load() == 1; }));
    thread.Stop();
    mainthread::SetErrorReporter({});
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("thread cannot start"), std::string::npos) << lines[0];
    EXPECT_TRUE(reportedOnMain);
}

TEST_F(ThreadTest, WaitingForAThreadRunsOnlyThatThreadsCalls) {
    std::atomic<bool> firstRan{false};
    std::atomic<bool> secondRan{false};
    std::atomic<bool> secondQueued{false};
    TLambdaThread second([&](TLambdaThread& self) {
        secondQueued = true;
        self.Synchronize([&] { secondRan = true; });
    });
    second.Start();
    while (!secondQueued) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(20ms); // let its call reach the queue
    {
        TLambdaThread first(
            [&](TLambdaThread& self) { self.Synchronize([&] { firstRan = true; }); });
        first.Start();
        first.WaitFor(); // would deadlock if it did not run first's call
        EXPECT_TRUE(firstRan);
        EXPECT_FALSE(secondRan) << "a waiting main thread ran another thread's report";
    }
    ASSERT_TRUE(PumpUntil([&] { return secondRan.load(); }));
}

TEST_F(ThreadTest, AHeldQueueKeepsItsCallsUntilTheLastReleaseWakesTheMainThread) {
    std::atomic<int> wakeUps{0};
    mainthread::SetWaker([&] { ++wakeUps; });
    std::atomic<int> ran{0};
    mainthread::Hold();
    mainthread::Hold();
    TLambdaThread thread([&](TLambdaThread& self) { self.Synchronize([&] { ++ran; }); });
    thread.Start();
    ASSERT_TRUE(PumpUntil([&] { return wakeUps.load() == 1; }));
    PumpFor(50ms);
    EXPECT_EQ(ran.load(), 0);
    mainthread::Release();
    PumpFor(20ms);
    EXPECT_EQ(ran.load(), 0) << "a hold still open";
    EXPECT_EQ(wakeUps.load(), 1);
    mainthread::Release();
    // The call's own wake-up went while held: the release must give another.
    EXPECT_EQ(wakeUps.load(), 2);
    EXPECT_EQ(ran.load(), 0) << "the release runs nothing itself";
    EXPECT_EQ(mainthread::RunPending(), 1);
    EXPECT_EQ(ran.load(), 1);
}

TEST_F(ThreadTest, StopEndsASleepingThreadAtOnce) {
    std::atomic<bool> sleptFully{true};
    TLambdaThread thread([&](TLambdaThread& self) {
        while (!self.Terminated()) {
            sleptFully = self.SleepUnlessTerminated(10s);
        }
    });
    thread.Start();
    std::this_thread::sleep_for(20ms);
    const auto start = std::chrono::steady_clock::now();
    thread.Stop();
    EXPECT_FALSE(sleptFully);
    // Generous: a lost wake-up would take the full 10 s.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(ThreadTest, ThreadsThatNeverStartedOrAlreadyEndedCanBeWaitedFor) {
    TLambdaThread never([](TLambdaThread&) {});
    never.WaitFor();
    never.Stop();

    std::atomic<int> runs{0};
    TLambdaThread once([&](TLambdaThread&) { ++runs; });
    once.Start();
    once.WaitFor();
    once.WaitFor();
    once.Start(); // an ended thread does not run again
    once.WaitFor();
    EXPECT_EQ(runs.load(), 1);
}

TEST_F(ThreadTest, ManyWorkersReportingWhileBeingStoppedNeverDeadlock) {
    std::atomic<int> calls{0};
    for (int round = 0; round < 20; ++round) {
        std::vector<std::unique_ptr<TLambdaThread>> threads;
        for (int i = 0; i < 4; ++i) {
            threads.push_back(std::make_unique<TLambdaThread>([&](TLambdaThread& self) {
                // At least one report each, however late the thread is
                // scheduled: a busy machine may start it after Terminate().
                do {
                    self.Synchronize([&] { ++calls; });
                } while (!self.Terminated());
            }));
            threads.back()->Start();
        }
        mainthread::RunPending();
        for (auto& thread : threads) {
            thread->Terminate();
        }
        threads.clear(); // each waits, running only its own calls
    }
    EXPECT_GT(calls.load(), 0);
}

TEST(PlatformTest, TicksBetweenCrossesTheWrapAround) {
    EXPECT_EQ(platform::TicksBetween(0xFFFFFFF0u, 0x10u), 0x20u);
    EXPECT_EQ(platform::TicksBetween(100u, 350u), 250u);
}

TEST(PlatformTest, NamesDecodeByTheirIsoPart) {
    // ŠIMUNOVIĆ in ISO 8859-2: Š = A9, Ć = C6.
    const std::string surname = "\xA9IMUNOVI\xC6";
    EXPECT_EQ(platform::Iso8859ToUtf8(surname, 2), "ŠIMUNOVIĆ");
    // The same bytes read as Latin-1 give other letters: the part matters.
    EXPECT_EQ(platform::Iso8859ToUtf8(surname, 1), "©IMUNOVIÆ");
    // Unknown parts read as Latin-1.
    EXPECT_EQ(platform::Iso8859ToUtf8("\xE9", 0), "é");
    EXPECT_EQ(platform::Iso8859ToUtf8("\xE9", 99), "é");
    // A byte that ISO 8859-3 leaves undefined becomes the replacement character.
    EXPECT_EQ(platform::Iso8859ToUtf8("\xA5", 3), "\xEF\xBF\xBD");
    EXPECT_EQ(platform::Iso8859ToUtf8("", 2), "");
}

TEST(PlatformTest, ExecutableDirHoldsThisTest) {
    const std::string dir = platform::ExecutableDir();
    ASSERT_FALSE(dir.empty());
    // No separator at the end, except where the folder is a root ("/", "C:\\").
    const bool root = dir == "/" || (dir.size() == 3 && dir[1] == ':');
    EXPECT_EQ(dir.back() == '/' || dir.back() == '\\', root);
    const std::filesystem::path folder(dir);
    EXPECT_TRUE(std::filesystem::exists(folder / "thread_test") ||
                std::filesystem::exists(folder / "thread_test.exe"));
}

// A folder such as the user's own under a name beyond the ANSI code page
// comes back as UTF-8 (Windows' getenv() would give '?' for it).
TEST(PlatformTest, EnvironmentVariablesComeAsUtf8) {
#ifdef _WIN32
    ASSERT_TRUE(SetEnvironmentVariableW(L"DRAVIK_TEST_FOLDER",
                                        L"C:\\Users\\\u017Deljko \u0110uri\u0107\\AppData"));
#else
    ASSERT_EQ(setenv("DRAVIK_TEST_FOLDER", "C:\\Users\\\u017Deljko \u0110uri\u0107\\AppData", 1),
              0);
#endif
    EXPECT_EQ(platform::EnvironmentVariable("DRAVIK_TEST_FOLDER"),
              "C:\\Users\\\u017Deljko \u0110uri\u0107\\AppData");
    EXPECT_EQ(platform::EnvironmentVariable("DRAVIK_TEST_NOT_SET"), "");
}

#ifndef _WIN32
// The decoding tables against the C library's own converter, byte by byte,
// in every part: a wrong or shifted entry shows here.
TEST(PlatformTest, EveryIsoPartDecodesAsTheSystemConverterDoes) {
    for (int part = 2; part <= 16; ++part) {
        if (part == 12) {
            continue;
        }
        const std::string name = "ISO-8859-" + std::to_string(part);
        iconv_t cd = iconv_open("UTF-8", name.c_str());
        ASSERT_NE(cd, (iconv_t)-1) << name;
        for (int byte = 0x80; byte <= 0xFF; ++byte) {
            char in[1] = {static_cast<char>(byte)};
            char out[8];
            char* inPtr = in;
            char* outPtr = out;
            size_t inLeft = 1;
            size_t outLeft = sizeof(out);
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            const bool defined = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != (size_t)-1;
            const std::string expected =
                defined ? std::string(out, static_cast<std::size_t>(outPtr - out)) : "\xEF\xBF\xBD";
            EXPECT_EQ(platform::Iso8859ToUtf8(std::string(1, in[0]), part), expected)
                << name << " byte " << byte;
        }
        iconv_close(cd);
    }
}
#endif
