// dravik-download: the window's card download from the command line.
#include "main/CardSession.h"
#include "platform/Platform.h"
#include "platform/Thread.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>

namespace {

constexpr int kExitRead = 0;
constexpr int kExitNoCard = 1;
constexpr int kExitError = 2;
constexpr std::chrono::milliseconds kSettleTime{500};

const char kUsage[] =
    "Usage: dravik-download [OPTION]...\n"
    "Downloads the driver card in a PC/SC reader into a card download file and\n"
    "prints the log of the download and its closing message.\n"
    "\n"
    "  --reader NAME    the reader to read (default: the first reader with a card)\n"
    "  --output FILE    the card download file (default: tmp.ddd beside the program)\n"
    "  --wait SECONDS   wait this long for a card to be inserted\n"
    "  --list           list the readers and their card states, and download nothing\n"
    "  --no-card-update do not write the download time to the card (EF Card_Download)\n"
    "  --root FILE      the root key file that signatures are checked against\n"
    "                   (default: EC_PK.bin beside the program, then in the user's\n"
    "                   configuration folder; without one they are not checked)\n"
    "  --root-g2 FILE   the second generation's root certificate that the G2 part of\n"
    "                   a second-generation card's download is checked against\n"
    "  --help           show this help\n"
    "\n"
    "Exit status: 0 the card was read whole; 1 no driver card was read (no card\n"
    "number, or one of blanks only); 2 a usage, PC/SC or file error, or a\n"
    "download that is not whole.\n"
    "A card that does not sign every signed file leaves the download whole but not\n"
    "signed by the card: the program says so and exits 0.\n";

struct TOptions {
    std::optional<std::string> Reader;
    std::optional<std::string> Output;
    int WaitSeconds = 0;
    bool List = false;
    bool Help = false;
    bool NoCardUpdate = false;
    std::optional<std::string> Root;
    std::optional<std::string> RootG2;
};

// Parses the command line; returns an error text, empty on success.
std::string ParseOptions(const std::vector<std::string>& args, TOptions& options) {
    const std::size_t count = args.size();
    for (std::size_t i = 1; i < count; ++i) {
        const std::string& arg = args[i];
        auto value = [&](const char* name) -> std::optional<std::string> {
            if (i + 1 >= count) {
                return std::nullopt;
            }
            static_cast<void>(name);
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            options.Help = true;
        } else if (arg == "--list") {
            options.List = true;
        } else if (arg == "--no-card-update") {
            options.NoCardUpdate = true;
        } else if (arg == "--root") {
            options.Root = value("--root");
            if (!options.Root || options.Root->empty()) {
                return "--root needs a file name";
            }
        } else if (arg == "--root-g2") {
            options.RootG2 = value("--root-g2");
            if (!options.RootG2 || options.RootG2->empty()) {
                return "--root-g2 needs a file name";
            }
        } else if (arg == "--reader") {
            options.Reader = value("--reader");
            if (!options.Reader) {
                return "--reader needs a reader name";
            }
        } else if (arg == "--output") {
            options.Output = value("--output");
            if (!options.Output || options.Output->empty()) {
                return "--output needs a file name";
            }
        } else if (arg == "--wait") {
            const auto text = value("--wait");
            char* end = nullptr;
            const long seconds = text ? std::strtol(text->c_str(), &end, 10) : -1;
            if (!text || text->empty() || *end != '\0' || seconds < 0 || seconds > 86400) {
                return "--wait needs a number of seconds from 0 to 86400";
            }
            options.WaitSeconds = static_cast<int>(seconds);
        } else {
            return "unknown argument: " + arg;
        }
    }
    return {};
}

const char* StateWord(std::uint8_t state) {
    static const char* const kWords[] = {"unknown",   "exclusive", "shared",
                                         "available", "bad card",  "no card"};
    return state < 6 ? kWords[state] : "unknown";
}

bool HasCard(const TReaderObject& reader) {
    return reader.CardState == csExclusive || reader.CardState == csShared ||
           reader.CardState == csAvailable;
}

// The main thread's side of the watchers' reports, without a window.
class TReportPump {
public:
    TReportPump() {
        mainthread::Adopt();
        mainthread::SetWaker([this] {
            {
                std::lock_guard lock(Mutex);
                Woken = true;
            }
            Wake.notify_one();
        });
    }
    ~TReportPump() { mainthread::SetWaker({}); }

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

private:
    std::mutex Mutex;
    std::condition_variable Wake;
    bool Woken = false;
};

class TCommandLineSession : public TCardSession {
public:
    TReaderObject* Reader = nullptr;
    std::string Message;
    std::string Error;
    std::string DownloadName;

    ~TCommandLineSession() override {
        if (FContext != 0) {
            FPCSC->ReleaseContext(FContext);
        }
    }

    void AddLog(const std::string& line) override { std::cout << line << '\n'; }

protected:
    void ShowDownloadName(const std::string& name) override { DownloadName = name; }
    TReaderObject* SelectedReader() override { return Reader; }
    void BeginLogUpdate() override {}
    void EndLogUpdate() override { std::cout.flush(); }
    std::string ReadButtonCaption() const override { return {}; }
    void SetReadButton(const std::string&, bool) override {}
    void UpdateReadButton() override {}
    void ShowMessage(const std::string& text) override { Message = text; }
    void ShowError(const std::string& text) override { Error = text; }
};

void PrintMessage(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line, '\r')) {
        std::cout << line << '\n';
    }
}

} // namespace

int main(int argc, char* argv[]) {
    platform::UseUtf8Console();
    TOptions options;
    const std::string usageError = ParseOptions(platform::Utf8Arguments(argc, argv), options);
    if (!usageError.empty()) {
        std::cerr << "dravik-download: " << usageError << " (see --help)\n";
        return kExitError;
    }
    if (options.Help) {
        std::cout << kUsage;
        return kExitRead;
    }

    TReportPump pump;
    TCommandLineSession session;
    if (options.Output) {
        session.FOutputPath = *options.Output;
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
        std::cerr << "dravik-download: cannot load the PC/SC library\n";
        return kExitError;
    }
    if (session.FContext == 0) {
        std::cerr << "dravik-download: the PC/SC service cannot be reached\n";
        return kExitError;
    }

    // Reader objects follow their cards; the first report gives each its state.
    std::vector<std::unique_ptr<TReaderObject>> readers;
    auto refresh = [&] {
        std::vector<std::string> names;
        session.ListReaders(names);
        for (const std::string& name : names) {
            bool known = false;
            for (const auto& reader : readers) {
                known = known || reader->ReaderName == name;
            }
            if (!known && (!options.Reader || *options.Reader == name)) {
                readers.push_back(std::make_unique<TReaderObject>(name, *session.FPCSC));
            }
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

    refresh();
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
           std::chrono::steady_clock::now() < waitEnd) {
        pump.Until([&] { return chosen() != nullptr && HasCard(*chosen()); },
                   std::chrono::milliseconds(250));
        refresh();
    }
    session.Reader = chosen();
    if (session.Reader != nullptr && HasCard(*session.Reader) && !hadCardAtStart) {
        // pcscd reports a new card present while it is still powering it up; a
        // connection at that moment fails, so a card just inserted settles first.
        pump.Until([] { return false; }, kSettleTime);
    }
    if (session.Reader == nullptr) {
        std::cerr << "dravik-download: "
                  << (options.Reader ? "no reader named \"" + *options.Reader + "\""
                                     : std::string("no reader with a card"))
                  << '\n';
        return options.Reader || readers.empty() ? kExitError : kExitNoCard;
    }

    session.BitBtn1Click();
    std::cout.flush();
    if (!session.Error.empty()) {
        std::cerr << "dravik-download: " << session.Error << '\n';
        return kExitError;
    }
    if (session.Message.empty()) {
        std::cerr << "dravik-download: the card could not be connected\n";
        return kExitError;
    }
    if (!session.DownloadName.empty()) {
        std::cout << "Download name: " << session.DownloadName << '\n';
    }
    PrintMessage(session.Message);
    if (!CardNumberRead(session.FLastIdentity.CardNumber)) {
        return kExitNoCard;
    }
    if (!session.FLastIdentity.Complete) {
        std::cerr << "dravik-download: the card was not read whole; the file is incomplete\n";
        return kExitError;
    }
    if (session.FLastIdentity.NotSignedByCard > 0) {
        std::cerr << "dravik-download: the file is not signed by the card ("
                  << session.FLastIdentity.NotSignedByCard << " of 12 files unsigned)\n";
    }
    return kExitRead;
}
