#include "Watch.h"

#include <algorithm>
#include <list>
#include <memory>
#include <sstream>
#include <thread>

namespace {

bool HasCard(std::uint8_t state) {
    return state == csExclusive || state == csShared || state == csAvailable;
}

// One reader and where its card is in the watch.
struct TWatchedReader {
    std::unique_ptr<TReaderObject> Reader;
    // This insertion's card was downloaded (or tried): not again until it
    // is taken out.
    bool Done = false;
    bool Pending = false;
    std::chrono::steady_clock::time_point Ready;
    // This insertion's card could not be reached yet, and that was reported:
    // the tries after it are reported only once one reaches it.
    bool FailureReported = false;
};

// Between two tries at a card that could not be reached.
constexpr std::chrono::milliseconds kRetryTime{1000};

// One reader's download, on a thread of its own with a session, a context and
// a reader object of its own: the watch's reader object stays the watcher's,
// and nothing of the download is shared but the register (behind its lock).
// Its log is kept apart and written whole once it ends, so that the lines of
// downloads at once never mix.
class TReaderDownload {
public:
    TReaderDownload(const TCommandLineSession& watch, const std::string& readerName,
                    const TPlacement& placement, bool keepLog, TReportPump& pump)
        : ReaderName(readerName) {
        TLogSinks sinks;
        sinks.File = keepLog ? &Log : nullptr;
        sinks.Errors = &Errors;
        std::string error;
        Session = watch.NewReaderSession(sinks, &error);
        if (!Session) {
            Report.Reader = readerName;
            Report.Error = error;
            Report.ExitStatus = 2;
            Report.Unreached = true;
            Finished = true;
            return;
        }
        Thread = std::thread([this, &placement, &pump] {
            // Nobody else reads this reader object: its state is asked here,
            // on the download's own context, as a single download asks it.
            TReaderObject reader(ReaderName, *Session->FPCSC, false);
            Session->ReadCardState(reader);
            Report = Session->Download(reader, placement);
            Finished = true;
            pump.Nudge();
        });
    }
    ~TReaderDownload() {
        if (Thread.joinable()) {
            Session->RequestStop();
            Thread.join();
        }
    }
    TReaderDownload(const TReaderDownload&) = delete;
    TReaderDownload& operator=(const TReaderDownload&) = delete;

    void RequestStop() {
        if (Session) {
            Session->RequestStop();
        }
    }
    bool Done() const { return Finished; }
    int FilesRead() const { return Session ? Session->FilesRead() : 0; }
    // Once Done(): hands the log and what must be said to `watch`, then the
    // report to `report`.
    void Hand(TCommandLineSession& watch, const TWatchReport& report) {
        if (Thread.joinable()) {
            Thread.join();
        }
        watch.ClearProgress();
        watch.WriteLog(Log.str());
        std::cerr << Errors.str();
        report(Session ? *Session : watch, Report);
    }
    const TDownloadReport& Result() const { return Report; }

    const std::string ReaderName;

private:
    std::ostringstream Log;
    std::ostringstream Errors;
    std::unique_ptr<TCommandLineSession> Session;
    TDownloadReport Report;
    std::atomic<bool> Finished{false};
    std::thread Thread;
};

} // namespace

void WatchReaders(TCommandLineSession& session, TReportPump& pump, const TOptions& options,
                  const TPlacement& placement, const TWatchReport& report) {
    std::mutex recorderLock;
    session.RecorderLock = &recorderLock;
    // Nodes stay put: the readers' reports hold on to their entry.
    std::list<TWatchedReader> readers;
    std::list<TReaderDownload> downloads;
    auto find = [&](const std::string& name) -> TWatchedReader* {
        for (TWatchedReader& watched : readers) {
            if (watched.Reader->ReaderName == name) {
                return &watched;
            }
        }
        return nullptr;
    };
    auto busy = [&](const std::string& name) {
        return std::any_of(
            downloads.begin(), downloads.end(),
            [&](const TReaderDownload& download) { return download.ReaderName == name; });
    };
    auto refresh = [&] {
        std::vector<std::string> names;
        session.ListReaders(names);
        readers.remove_if([&](const TWatchedReader& watched) {
            return std::find(names.begin(), names.end(), watched.Reader->ReaderName) == names.end();
        });
        for (const std::string& name : names) {
            if (find(name) != nullptr || (options.Reader && *options.Reader != name)) {
                continue;
            }
            TWatchedReader& watched = readers.emplace_back();
            watched.Reader = std::make_unique<TReaderObject>(name, *session.FPCSC);
            watched.Reader->OnCardStateChanged = [&watched](TReaderObject* reader) {
                if (HasCard(reader->CardState)) {
                    if (!watched.Done && !watched.Pending) {
                        watched.Pending = true;
                        watched.Ready = std::chrono::steady_clock::now() + kSettleTime;
                    }
                } else if (reader->CardState == csNoCard) {
                    watched.Done = false;
                    watched.Pending = false;
                    watched.FailureReported = false;
                }
            };
        }
    };
    // A download that ended: its report, or a try again later when its card
    // could not be reached and is still in.
    auto finish = [&](TReaderDownload& download) {
        const TDownloadReport& done = download.Result();
        TWatchedReader* watched = find(download.ReaderName);
        // Not read, and still in since (powering up, or another program's):
        // tried again until it is read or taken out, and said once.
        if (done.Unreached && !session.StopRequested() && watched != nullptr && watched->Done) {
            watched->Done = false;
            watched->Pending = true;
            watched->Ready = std::chrono::steady_clock::now() + kRetryTime;
            if (watched->FailureReported) {
                return;
            }
            watched->FailureReported = true;
        }
        download.Hand(session, report);
    };
    // Every reader's download under way, in one line.
    std::string shownProgress;
    auto showProgress = [&] {
        std::string text;
        for (const TReaderDownload& download : downloads) {
            text += (text.empty() ? "Reading " : ", ") + download.ReaderName + ": " +
                    std::to_string(download.FilesRead()) + " files";
        }
        if (text != shownProgress) {
            session.ShowProgressLine(text);
            shownProgress = text;
        }
    };
    auto endFinished = [&] {
        for (auto it = downloads.begin(); it != downloads.end();) {
            if (!it->Done()) {
                ++it;
                continue;
            }
            finish(*it);
            shownProgress.clear();
            it = downloads.erase(it);
        }
    };

    {
        TReaderListThread listWatcher(*session.FPCSC);
        refresh();
        listWatcher.OnReaderListChanged = refresh;
        listWatcher.Start();
        const bool keepLog = options.Verbose || options.Log.has_value();
        while (!session.StopRequested()) {
            pump.Until(
                [&] {
                    const auto now = std::chrono::steady_clock::now();
                    for (const TWatchedReader& watched : readers) {
                        if (watched.Pending && watched.Ready <= now &&
                            !busy(watched.Reader->ReaderName)) {
                            return true;
                        }
                    }
                    return session.StopRequested() ||
                           std::any_of(downloads.begin(), downloads.end(),
                                       [](const TReaderDownload& d) { return d.Done(); });
                },
                std::chrono::milliseconds(100));
            endFinished();
            if (session.StopRequested()) {
                break;
            }
            const auto now = std::chrono::steady_clock::now();
            for (TWatchedReader& watched : readers) {
                const std::string& name = watched.Reader->ReaderName;
                if (!watched.Pending || watched.Ready > now || busy(name)) {
                    continue;
                }
                watched.Pending = false;
                watched.Done = true;
                if (HasCard(watched.Reader->CardState)) {
                    downloads.emplace_back(session, name, placement, keepLog, pump);
                }
            }
            showProgress();
        }
        // Each download under way unwinds: what it read whole is kept and
        // reported, the rest removed.
        for (TReaderDownload& download : downloads) {
            download.RequestStop();
        }
        pump.Until(
            [&] {
                return std::all_of(downloads.begin(), downloads.end(),
                                   [](const TReaderDownload& d) { return d.Done(); });
            },
            std::chrono::seconds(30));
        endFinished();
        // The list watcher ends here; a report it handed over still runs.
    }
    downloads.clear();
    readers.clear();
    session.RecorderLock = nullptr;
}
