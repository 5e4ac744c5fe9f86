// A window-less session for the download tests: it records what the window
// would show, and a fixture with the in-memory PC/SC library, one reader and a
// scratch folder for the card download file.
#pragma once

#include "FakePcsc.h"
#include "MainThreadPump.h"
#include "main/CardSession.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace downloadtest {

// Every hook call, in order, as one line each: "log:", "name:", "hold+", "hold-",
// "button:<caption>|<0/1>", "update", "message:", "error:".
class TTestSession : public TCardSession {
public:
    std::vector<std::string> Trace;
    std::vector<std::string> Log;
    std::vector<std::string> Messages;
    std::vector<std::string> Errors;
    std::string DownloadName;
    TReaderObject* Selected = nullptr;
    std::string Caption = "Preuzmi podatke s kartice";
    bool Enabled = true;
    int HoldDepth = 0;

    // False: a session whose log nobody reads, as the quiet command line.
    bool LogRead = true;

    void AddLog(const std::string& line) override {
        Log.push_back(line);
        Trace.push_back("log:" + line);
    }
    bool WantsLog() const override { return LogRead; }
    // Every (bytes done, bytes to do) the steps reported.
    std::vector<std::pair<std::size_t, std::size_t>> ByteCounts;
    void ShowBytes(std::size_t done, std::size_t toDo) override {
        ByteCounts.emplace_back(done, toDo);
    }
    void ShowDownloadName(const std::string& name) override {
        DownloadName = name;
        Trace.push_back("name:" + name);
    }
    TReaderObject* SelectedReader() override { return Selected; }
    void BeginLogUpdate() override {
        ++HoldDepth;
        Trace.push_back("hold+");
    }
    void EndLogUpdate() override {
        --HoldDepth;
        Trace.push_back("hold-");
    }
    std::string ReadButtonCaption() const override { return Caption; }
    void SetReadButton(const std::string& caption, bool enabled) override {
        Caption = caption;
        Enabled = enabled;
        Trace.push_back("button:" + caption + "|" + (enabled ? "1" : "0"));
    }
    // As the window does: the caption and state follow the selected reader's card.
    void UpdateReadButton() override {
        Trace.push_back("update");
        const bool card =
            Selected != nullptr && Selected->CardState >= 1 && Selected->CardState <= 3;
        Caption = card ? "Preuzmi podatke s kartice" : "Umetnite tahografsku karticu";
        Enabled = card;
    }
    void ShowMessage(const std::string& text) override {
        Messages.push_back(text);
        Trace.push_back("message:" + text);
    }
    void ShowError(const std::string& text) override {
        Errors.push_back(text);
        Trace.push_back("error:" + text);
    }

    // Index of the first trace entry equal to `entry`, or -1.
    int TraceIndex(const std::string& entry) const {
        for (std::size_t i = 0; i < Trace.size(); ++i) {
            if (Trace[i] == entry) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
};

inline std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The working file a download is writing beside `target` now (hidden, named
// for its process, ending in ".part"); empty when there is none.
inline std::string WorkingFileBeside(const std::filesystem::path& target) {
    std::error_code error;
    const std::string begin = "." + target.filename().string() + ".";
    for (const auto& entry : std::filesystem::directory_iterator(target.parent_path(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(begin, 0) == 0 && name.size() > 5 &&
            name.compare(name.size() - 5, 5, ".part") == 0) {
            return entry.path().string();
        }
    }
    return {};
}

inline void WriteWholeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// A fresh folder under the system's temporary folder, removed with the object.
class TScratchDir {
public:
    TScratchDir() {
        // A name nobody else holds: create_directory says whether it was new.
        std::random_device random;
        const auto base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100 && Path.empty(); ++attempt) {
            const auto candidate = base / ("dravik-dl-" + std::to_string(random()));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error)) {
                Path = candidate;
            }
        }
    }
    ~TScratchDir() {
        std::error_code ignored;
        std::filesystem::permissions(Path, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(Path, ignored);
    }
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;

    std::filesystem::path Path;
};

inline const std::string kReaderName = "Test Reader 00";
inline const std::vector<std::uint8_t> kAtrT1 = {0x3B, 0x80, 0x80, 0x01, 0x01};

// The in-memory library with one reader; a session bound to it; a reader object
// for the reader. The card is up to each test.
class TFakeReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakepcsc::Reset();
        fakepcsc::AddReader(kReaderName);
        Session.FOutputPath = (Scratch.Path / "tmp.ddd").string();
        Session.InitSmartCard(FAKEPCSC_PATH);
        ASSERT_TRUE(Session.FPCSC->IsLoaded());
        Session.Log.clear();
        Session.Trace.clear();
    }
    void TearDown() override {
        Reader.reset();
        Session.FPCSC->ReleaseContext(Session.FContext);
    }

    // Inserts a card answering through `handler`, creates the reader object and
    // waits for its first report.
    void InsertCard(fakepcsc::TApduHandler handler,
                    fakepcsc::TProtocol protocol = fakepcsc::TProtocol::T1,
                    const std::vector<std::uint8_t>& atr = kAtrT1) {
        fakepcsc::InsertCard(kReaderName, atr, protocol, std::move(handler));
        OpenReader();
        ASSERT_TRUE(PumpUntil([this] { return Reader->CardState == csAvailable; }));
    }
    void OpenReader() {
        Reader = std::make_unique<TReaderObject>(kReaderName, *Session.FPCSC);
        Session.Selected = Reader.get();
    }
    std::string OutputFile() const { return ReadWholeFile(Session.FOutputPath); }

    TScratchDir Scratch;
    TTestSession Session;
    // Destroyed before the session: it uses the session's binding.
    std::unique_ptr<TReaderObject> Reader;
};

} // namespace downloadtest
