// dravik-download: the window's card download from the command line, for
// people (a one-line account) and for scripts (--json).
#include "Account.h"
#include "Console.h"
#include "Options.h"
#include "Placement.h"
#include "Session.h"
#include "Watch.h"
#include "archive/Archive.h"
#include "platform/Platform.h"
#include "platform/UserFolders.h"

#include <cerrno>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

namespace {

constexpr int kExitRead = 0;
constexpr int kExitNoCard = 1;
constexpr int kExitError = 2;

const char* StateWord(std::uint8_t state) {
    static const char* const kWords[] = {"unknown",   "exclusive", "shared",
                                         "available", "bad card",  "no card"};
    return state < 6 ? kWords[state] : "unknown";
}

bool HasCard(const TReaderObject& reader) {
    return reader.CardState == csExclusive || reader.CardState == csShared ||
           reader.CardState == csAvailable;
}

int Fail(const std::string& text, int status = kExitError) {
    std::cerr << "dravik-download: " << text << '\n';
    return status;
}

// The whole log goes to --log FILE: for one download written beside it and
// named when done; in watch mode appended to, one download after the other.
class TLogFile {
public:
    TLogFile(const std::string& path, bool append)
        : Path(path), Temporary(append ? path : TemporaryBeside(path)) {
        errno = 0;
        File.open(PathOf(Temporary), std::ios::binary | (append ? std::ios::app : std::ios::trunc));
        OpenError = errno;
    }
    ~TLogFile() {
        if (File.is_open() && Temporary != Path) {
            File.close();
            RemoveQuietly(Temporary);
        }
    }
    // The system's error number when the file cannot be opened; 0 when it is open.
    int Failed() const { return File.is_open() ? 0 : (OpenError != 0 ? OpenError : EIO); }
    std::ostream* Stream() { return &File; }
    // Closes the log and gives it its name; an error text, empty when done.
    std::string Finish() {
        if (!File.is_open()) {
            return {};
        }
        errno = 0;
        File.close();
        if (!File) {
            const int error = errno != 0 ? errno : EIO;
            if (Temporary != Path) {
                RemoveQuietly(Temporary);
            }
            return FileErrorText("write", Path, error);
        }
        if (Temporary == Path) {
            return {};
        }
        try {
            Publish(Temporary, Path);
        } catch (const std::runtime_error& failure) {
            return failure.what();
        }
        return {};
    }

private:
    std::string Path;
    std::string Temporary;
    std::ofstream File;
    int OpenError = 0;
};

} // namespace

int main(int argc, char* argv[]) {
    platform::UseUtf8Console();
    TOptions options;
    const std::string usageError = ParseOptions(platform::Utf8Arguments(argc, argv), options);
    if (!usageError.empty()) {
        return Fail(usageError + " (see --help)");
    }
    if (options.Help) {
        std::cout << kUsage;
        return kExitRead;
    }
    if (options.Version) {
        std::cout << "dravik-download " << DRAVIK_VERSION << '\n';
        return kExitRead;
    }
    if (options.Watch && options.Output && !IsFolderArgument(*options.Output)) {
        return Fail("--watch files every download under its own name: --output must be a "
                    "folder (see --help)");
    }

    std::unique_ptr<TLogFile> log;
    if (options.Log) {
        log = std::make_unique<TLogFile>(*options.Log, options.Watch);
        if (log->Failed() != 0) {
            return Fail(FileErrorText("write", *options.Log, log->Failed()));
        }
    }
    TLogSinks sinks;
    sinks.ToStdout = options.Verbose;
    sinks.File = log ? log->Stream() : nullptr;
    sinks.Progress = !options.Verbose && console::ErrorIsTerminal();

    TReportPump pump;
    TCommandLineSession session(sinks);
    // Only atomics are set here (a signal handler on Linux): the download
    // checks them before each command, and the pump's waits every 50 ms.
    console::OnStopRequest([&] { session.RequestStop(); });
    struct TFinished {
        ~TFinished() { console::Finished(); }
    } finished;

    TPlacement placement;
    if (!options.List) {
        try {
            placement = ChoosePlacement(options.Output);
        } catch (const std::runtime_error& error) {
            return Fail(error.what());
        }
        // What a download ended by force (a crash, a second Ctrl+C) left.
        RemoveStaleWorkingFiles(placement.WorkingFile);
        if (!placement.ArchiveFolder.empty()) {
            archive::RemoveStaleCopies(placement.ArchiveFolder);
        }
    }
    // The register: the archive folder's own unless --store names one. What
    // it missed while it could not be reached is added now.
    std::unique_ptr<registry::TRecorder> recorder;
    if (!options.List && (!placement.ArchiveFolder.empty() || options.Store)) {
        // The window's register setting when none is given.
        const std::string store =
            options.Store ? *options.Store
                          : platform::WindowSetting("registerStore").value_or(std::string());
        recorder = std::make_unique<registry::TRecorder>(store, placement.ArchiveFolder);
        const registry::TRecorder::TNote note = recorder->CatchUp();
        if (note.Kind == registry::TRecorder::TKind::Failed) {
            std::cerr << "dravik-download: the register cannot be reached (" << note.Error
                      << "); downloads stay in the archive folder and are recorded later\n";
        }
        session.Recorder = recorder.get();
    }
    session.FUpdateCardDownload = !options.NoCardUpdate;
    if (options.Root) {
        session.FRootKeyPath = *options.Root;
    }
    if (options.RootG2) {
        session.FRootG2Path = *options.RootG2;
    }
    session.InitSmartCard();
    if (!session.FPCSC->IsLoaded()) {
        return Fail("cannot load the PC/SC library");
    }
    if (session.FContext == 0 && !options.Watch) {
        return Fail("the PC/SC service cannot be reached");
    }

    auto print = [&](const TCommandLineSession& from, const TDownloadReport& report) {
        if (options.Verbose) {
            std::istringstream lines(from.ClosingMessage());
            std::string line;
            if (!from.FLastIdentity.DownloadName.empty()) {
                std::cout << "Download name: " << from.FLastIdentity.DownloadName << '\n';
            }
            while (std::getline(lines, line, '\r')) {
                std::cout << line << '\n';
            }
        }
        if (options.Json) {
            std::cout << JsonObject(report) << '\n';
        } else if (!report.CardNumber.empty() || !report.Path.empty()) {
            std::cout << AccountLine(report) << '\n';
        }
        std::cout.flush();
        if (!report.Error.empty()) {
            std::cerr << "dravik-download: " << report.Reader << ": " << report.Error << '\n';
        }
    };

    if (options.Watch) {
        WatchReaders(session, pump, options, placement, print);
        const std::string error = log ? log->Finish() : std::string();
        return error.empty() ? kExitRead : Fail(error);
    }

    // A single download asks each reader's state at once and starts no
    // watcher (a thread and a context each); only a wait for a card needs
    // them, to learn of the insertion.
    std::vector<std::unique_ptr<TReaderObject>> readers;
    auto add = [&](const std::string& name, bool watch) {
        readers.push_back(std::make_unique<TReaderObject>(name, *session.FPCSC, watch));
        if (!watch && session.ReadCardState(*readers.back()) != pcsc::kSuccess) {
            readers.pop_back();
        }
    };
    auto refresh = [&](bool watch) {
        if (options.Reader && readers.empty() && !watch) {
            // A named reader needs no listing: the service does not know a
            // name that is not a reader's.
            add(*options.Reader, false);
            return;
        }
        std::vector<std::string> names;
        session.ListReaders(names);
        for (const std::string& name : names) {
            bool known = false;
            for (const auto& reader : readers) {
                known = known || reader->ReaderName == name;
            }
            if (!known && (!options.Reader || *options.Reader == name)) {
                add(name, watch);
            }
        }
        if (!watch) {
            return;
        }
        for (const auto& reader : readers) {
            reader->Watch(*session.FPCSC);
        }
        pump.Until(
            [&] {
                for (const auto& reader : readers) {
                    if (reader->CardState == csUnknown) {
                        return false;
                    }
                }
                return true;
            },
            std::chrono::seconds(2));
    };
    auto chosen = [&]() -> TReaderObject* {
        for (const auto& reader : readers) {
            if (HasCard(*reader)) {
                return reader.get();
            }
        }
        return options.Reader && !readers.empty() ? readers.front().get() : nullptr;
    };

    refresh(false);
    const bool hadCardAtStart = chosen() != nullptr && HasCard(*chosen());
    if (options.List) {
        for (const auto& reader : readers) {
            std::cout << reader->ReaderName << ": " << StateWord(reader->CardState) << '\n';
        }
        return kExitRead;
    }
    const auto waitEnd =
        std::chrono::steady_clock::now() + std::chrono::seconds(options.WaitSeconds);
    while ((chosen() == nullptr || !HasCard(*chosen())) &&
           std::chrono::steady_clock::now() < waitEnd && !session.StopRequested()) {
        refresh(true);
        pump.Until([&] { return session.StopRequested() || (chosen() && HasCard(*chosen())); },
                   std::chrono::milliseconds(250));
    }
    TReaderObject* reader = chosen();
    if (reader != nullptr && HasCard(*reader) && !hadCardAtStart) {
        pump.Until([&] { return session.StopRequested(); }, kSettleTime);
    }
    if (session.StopRequested()) {
        return Fail("stopped before a download");
    }
    if (reader == nullptr) {
        return Fail(options.Reader ? "no reader named \"" + *options.Reader + "\""
                                   : std::string("no reader with a card"),
                    options.Reader || readers.empty() ? kExitError : kExitNoCard);
    }

    const TDownloadReport report = session.Download(*reader, placement);
    print(session, report);
    if (log) {
        const std::string error = log->Finish();
        if (!error.empty()) {
            return Fail(error);
        }
    }
    return report.ExitStatus;
}
