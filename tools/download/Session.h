// dravik-download's side of the download: the session's hooks without a
// window, the main thread's handling of the watchers' reports, and one
// download from the press to its account.
#pragma once

#include "Account.h"
#include "Placement.h"
#include "main/CardSession.h"
#include "register/Recorder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <ostream>

// The main thread's side of the watchers' reports, without a window.
class TReportPump {
public:
    TReportPump();
    ~TReportPump();
    // Serves reports until `done` holds or `limit` has passed.
    template <typename F> bool Until(F done, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            mainthread::RunPending();
            if (done()) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            std::unique_lock lock(Mutex);
            Wake.wait_until(
                lock,
                std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)),
                [this] { return Woken; });
            Woken = false;
        }
    }
    // Any thread: ends a wait early, for a report or a stop.
    void Nudge();

private:
    std::mutex Mutex;
    std::condition_variable Wake;
    bool Woken = false;
};

// Where the log goes and what people see meanwhile.
struct TLogSinks {
    bool ToStdout = false;        // --verbose
    std::ostream* File = nullptr; // --log
    bool Progress = false;        // a progress line on standard error
    // What must be said at once, besides the report (a register that missed
    // the download).
    std::ostream* Errors = &std::cerr;
};

class TCommandLineSession : public TCardSession {
public:
    explicit TCommandLineSession(TLogSinks sinks) : Sinks(sinks) {}
    ~TCommandLineSession() override;

    // Downloads the card in `reader` as `placement` says; the report tells
    // what became of it. `Stopped` in it when a stop was asked meanwhile.
    TDownloadReport Download(TReaderObject& reader, const TPlacement& placement);

    void AddLog(const std::string& line) override;
    // Any thread: a stop asked by a signal.
    void RequestStop() {
        Stop = true;
        StopDownload();
    }
    bool StopRequested() const { return Stop; }
    // The last download's closing message, carriage returns between its lines.
    const std::string& ClosingMessage() const { return Message; }
    // The register that archived downloads are recorded in; none: not recorded.
    registry::TRecorder* Recorder = nullptr;
    // Held while recording: the downloads of several readers share the register.
    std::mutex* RecorderLock = nullptr;

    // A session of its own for a download beside this one's (another reader's),
    // with this one's settings and a context of its own; established here, so
    // that contexts are first established one at a time. Null, and `error`
    // set, when the service gives none.
    std::unique_ptr<TCommandLineSession> NewReaderSession(TLogSinks sinks,
                                                          std::string* error) const;
    // Any thread: how many of the card's files the download under way has read.
    int FilesRead() const { return FilesNoted; }
    // Lines logged elsewhere (another reader's download), into this session's log.
    void WriteLog(const std::string& lines);
    // The progress line on standard error, when there is one: `text`, or none.
    void ShowProgressLine(std::string text);
    void ClearProgress();

protected:
    void ShowDownloadName(const std::string&) override {}
    TReaderObject* SelectedReader() override { return Reader; }
    void BeginLogUpdate() override {}
    void EndLogUpdate() override;
    std::string ReadButtonCaption() const override { return {}; }
    void SetReadButton(const std::string&, bool) override {}
    void UpdateReadButton() override {}
    void ShowMessage(const std::string& text) override { Message = text; }
    void ShowError(const std::string& text) override { Error = text; }
    void ShowProgress(int filesDone, int filesToDo) override;
    // Nobody reads the responses' lines unless the log is printed or kept.
    bool WantsLog() const override { return Sinks.ToStdout || Sinks.File != nullptr; }
    void NoteFile(std::uint16_t fid, const std::string& name, TFileStatus status,
                  TFileSigning signing) override;
    void RecordDownload(const TCardIdentity& identity, const TDownloadOutcome& outcome) override;

private:
    TLogSinks Sinks;
    std::atomic<bool> Stop{false};
    TReaderObject* Reader = nullptr;
    std::string Message;
    std::string Error;
    // The last lines, kept always: a failed connection says why only there.
    std::string LastLines[2];
    std::string SignatureLine;
    std::vector<TFileReport> Files;
    std::atomic<int> FilesNoted{0};
    int FirstFilesToDo = 0;
    std::size_t ProgressWidth = 0;
};
