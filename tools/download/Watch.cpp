#include "Watch.h"

#include <algorithm>
#include <list>
#include <memory>

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

} // namespace

void WatchReaders(TCommandLineSession& session, TReportPump& pump, const TOptions& options,
                  const TPlacement& placement,
                  const std::function<void(const TDownloadReport&)>& report) {
    // Nodes stay put: the readers' reports hold on to their entry.
    std::list<TWatchedReader> readers;
    auto refresh = [&] {
        std::vector<std::string> names;
        session.ListReaders(names);
        readers.remove_if([&](const TWatchedReader& watched) {
            return std::find(names.begin(), names.end(), watched.Reader->ReaderName) == names.end();
        });
        for (const std::string& name : names) {
            const bool known =
                std::any_of(readers.begin(), readers.end(), [&](const TWatchedReader& watched) {
                    return watched.Reader->ReaderName == name;
                });
            if (known || (options.Reader && *options.Reader != name)) {
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

    {
        TReaderListThread listWatcher(*session.FPCSC);
        refresh();
        listWatcher.OnReaderListChanged = refresh;
        listWatcher.Start();
        while (!session.StopRequested()) {
            TWatchedReader* next = nullptr;
            pump.Until(
                [&] {
                    const auto now = std::chrono::steady_clock::now();
                    for (TWatchedReader& watched : readers) {
                        if (watched.Pending && watched.Ready <= now) {
                            next = &watched;
                            return true;
                        }
                    }
                    return session.StopRequested();
                },
                std::chrono::milliseconds(100));
            if (next == nullptr || session.StopRequested()) {
                continue;
            }
            next->Pending = false;
            next->Done = true;
            if (HasCard(next->Reader->CardState)) {
                const TDownloadReport done = session.Download(*next->Reader, placement);
                if (done.Unreached && !session.StopRequested()) {
                    // Not read, and still in (powering up, or another
                    // program's): tried again until it is read or taken out.
                    next->Done = false;
                    next->Pending = true;
                    next->Ready = std::chrono::steady_clock::now() + kRetryTime;
                    if (next->FailureReported) {
                        continue;
                    }
                    next->FailureReported = true;
                }
                report(done);
            }
        }
        // The list watcher ends here; a report it handed over still runs.
    }
    readers.clear();
}
