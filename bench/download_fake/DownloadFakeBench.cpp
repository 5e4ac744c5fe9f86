// A full-size driver card downloaded by the read button's sequence through the
// in-memory PC/SC library and the simulated card: the median of 10 runs for a
// few variants of the window's side, and where the time of one download goes;
// the download of a signing card checked against the test root against that of
// a card that knows no signatures (the download as it was before cards signed),
// and the time the check of one file takes.
#include "FakePcsc.h"
#include "cardfile/CardFile.h"
#include "cardfile/RootKeyFile.h"
#include "cardsim/DriverCard.h"
#include "cardsim/SampleCard.h"
#include "main/CardSession.h"
#include "platform/Thread.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRuns = 10;
const std::string kReaderName = "Bench Reader 00";

enum class TLogSink { Discard, Keep, WriteOut };

class TBenchSession : public TCardSession {
public:
    TLogSink Sink = TLogSink::Discard;
    std::vector<std::string> Lines;
    std::FILE* Out = nullptr;
    TReaderObject* Reader = nullptr;
    std::string Message;
    std::string Error;
    double LogMs = 0;
    std::size_t LogBytes = 0;
    std::size_t LogLines = 0;

    void AddLog(const std::string& line) override {
        const auto start = Clock::now();
        ++LogLines;
        LogBytes += line.size();
        if (Sink == TLogSink::Keep) {
            Lines.push_back(line);
        } else if (Sink == TLogSink::WriteOut) {
            std::fputs(line.c_str(), Out);
            std::fputc('\n', Out);
            std::fflush(Out);
        }
        LogMs += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
    void ShowDownloadName(const std::string&) override {}
    TReaderObject* SelectedReader() override { return Reader; }
    void BeginLogUpdate() override {}
    void EndLogUpdate() override {}
    std::string ReadButtonCaption() const override { return "Preuzmi podatke s kartice"; }
    void SetReadButton(const std::string&, bool) override {}
    void UpdateReadButton() override {}
    void ShowMessage(const std::string& text) override { Message = text; }
    void ShowError(const std::string& text) override { Error = text; }
};

bool PumpUntil(const std::function<bool()>& done) {
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (!done() && Clock::now() < end) {
        mainthread::RunPending();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return (values[values.size() / 2] + values[(values.size() - 1) / 2]) / 2;
}

struct TResult {
    double TotalMs = 0; // median of the runs
    double CardMs = 0;  // median time inside the simulated card
    double LogMs = 0;   // median time inside the log hook
    std::size_t Exchanges = 0;
    std::size_t LogLines = 0;
    std::size_t LogBytes = 0;
    std::uintmax_t FileBytes = 0;
};

TResult Measure(const std::string& output, TLogSink sink, bool removeBefore = false,
                bool cardSigns = true, const std::string& root = {}) {
    fakepcsc::Reset();
    fakepcsc::AddReader(kReaderName);
    auto card = std::make_shared<cardsim::TDriverCard>(cardsim::BuildDriverCard());
    if (!cardSigns) {
        // As a card without the commands answers them: the download then
        // writes the file it wrote before cards signed, with one refused
        // hash a signed file more.
        card->FailInstruction(0x80, 0x2A, 0x6D00);
        card->FailInstruction(0x00, 0x2A, 0x6D00);
        card->FailInstruction(0x00, 0xD6, 0x6D00);
    }
    auto cardMs = std::make_shared<double>(0);
    fakepcsc::InsertCard(
        kReaderName, {0x3B, 0x80, 0x80, 0x01, 0x01}, fakepcsc::TProtocol::T1,
        [card, cardMs](const std::vector<std::uint8_t>& apdu) {
            const auto start = Clock::now();
            auto answer = card->Process(apdu);
            *cardMs += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            return answer;
        });

    TBenchSession session;
    session.Sink = sink;
    session.FOutputPath = output;
    session.FRootKeyPath = root;
    session.Out = std::fopen("/dev/null", "w");
    session.InitSmartCard(FAKEPCSC_PATH);
    TResult result;
    {
        TReaderObject reader(kReaderName, *session.FPCSC);
        session.Reader = &reader;
        if (!PumpUntil([&] { return reader.CardState == csAvailable; })) {
            std::fprintf(stderr, "the reader never saw the card\n");
            std::exit(1);
        }
        std::vector<double> totals, cards, logs;
        for (int run = 0; run < kRuns; ++run) {
            card->Reset();
            *cardMs = 0;
            session.LogMs = 0;
            session.LogLines = 0;
            session.LogBytes = 0;
            session.Lines.clear();
            fakepcsc::ClearCalls();
            if (removeBefore) {
                std::filesystem::remove(output);
            }
            const auto start = Clock::now();
            session.BitBtn1Click();
            totals.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            cards.push_back(*cardMs);
            logs.push_back(session.LogMs);
            if (session.Message.rfind("Kartica: ", 0) != 0 || !session.Error.empty()) {
                std::fprintf(stderr, "the download failed: %s%s\n", session.Message.c_str(),
                             session.Error.c_str());
                std::exit(1);
            }
        }
        result.TotalMs = Median(totals);
        result.CardMs = Median(cards);
        result.LogMs = Median(logs);
        result.Exchanges = fakepcsc::Calls("SCardTransmit").size();
        result.LogLines = session.LogLines;
        result.LogBytes = session.LogBytes;
        std::error_code ignored;
        result.FileBytes = std::filesystem::file_size(output, ignored);
    }
    session.FPCSC->ReleaseContext(session.FContext);
    std::fclose(session.Out);
    return result;
}

} // namespace

int main() {
    mainthread::Adopt();
    std::string folder = (std::filesystem::temp_directory_path() / "dravik-bench-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string file = folder + "/tmp.ddd";

    struct TVariant {
        const char* Name;
        std::string Output;
        TLogSink Sink;
        bool RemoveBefore = false;
    };
    const TVariant variants[] = {
        {"file on disk, log discarded (baseline)", file, TLogSink::Discard},
        {"file on disk removed before each run, log discarded", file, TLogSink::Discard, true},
        {"/dev/null as the file, log discarded", "/dev/null", TLogSink::Discard},
        {"file on disk, log lines kept in memory", file, TLogSink::Keep},
        {"file on disk, log written and flushed per line", file, TLogSink::WriteOut},
    };
    Measure(file, TLogSink::Discard); // warm-up: library loaded, caches filled

    std::printf("Full-size sample card through the in-memory PC/SC library, median of %d runs\n",
                kRuns);
    double baseline = 0;
    std::vector<TResult> results;
    for (const TVariant& variant : variants) {
        const TResult r = Measure(variant.Output, variant.Sink, variant.RemoveBefore);
        results.push_back(r);
        if (baseline == 0) {
            baseline = r.TotalMs;
            std::printf("  %zu exchanges, %zu log lines (%zu bytes), file %ju bytes\n", r.Exchanges,
                        r.LogLines, r.LogBytes, r.FileBytes);
        }
        std::printf("  %-48s %7.3f ms  x%.2f  (card %.3f ms, log hook %.3f ms, rest %.3f ms)\n",
                    variant.Name, r.TotalMs, r.TotalMs / baseline, r.CardMs, r.LogMs,
                    r.TotalMs - r.CardMs - r.LogMs);
    }
    // Where one download's time goes, from the differences between the variants.
    const double exchanges = results[2].TotalMs - results[2].CardMs - results[2].LogMs;
    const double writes = results[1].TotalMs - results[2].TotalMs;
    const double truncation = results[0].TotalMs - results[1].TotalMs;
    std::printf("Breakdown of the baseline: exchanges through the library and the download's own "
                "work %.3f ms (%.1f us an exchange), one write(2) per record or chunk %.3f ms, "
                "truncating the "
                "previous file %.3f ms, simulated card %.3f ms, log hook %.3f ms\n",
                exchanges, 1000 * exchanges / static_cast<double>(results[0].Exchanges), writes,
                truncation, results[0].CardMs, results[0].LogMs);

    // Signatures: the same run, the download as before against the download now.
    const TResult before = Measure(file, TLogSink::Discard, false, false);
    const TResult now = Measure(file, TLogSink::Discard, false, true, DRAVIK_TEST_ROOT_KEY_PATH);
    std::printf("Card signatures, median of %d runs:\n", kRuns);
    std::printf("  %-48s %7.3f ms  (%zu exchanges, card %.3f ms)\n",
                "a card that knows no signatures (as before)", before.TotalMs, before.Exchanges,
                before.CardMs);
    std::printf("  %-48s %7.3f ms  x%.2f  (%zu exchanges, card %.3f ms)\n",
                "signing card, last download written, checked", now.TotalMs,
                now.TotalMs / before.TotalMs, now.Exchanges, now.CardMs);

    // The check of one downloaded file: reading it, the chain, 12 signatures.
    const auto bytes = cardfile::ReadWholeFile(file);
    const auto rootKey = cardfile::LoadRootKey(DRAVIK_TEST_ROOT_KEY_PATH);
    if (!bytes || !rootKey.Key) {
        std::fprintf(stderr, "no file or root key to check\n");
        return 1;
    }
    std::vector<double> checks;
    bool valid = true;
    for (int run = 0; run < 100; ++run) {
        const auto start = Clock::now();
        valid = valid && cardfile::Verify(*bytes, &*rootKey.Key).AllValid();
        checks.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::printf("  checking one file of %zu bytes (chain and 12 signatures): %.3f ms, median of "
                "100%s\n",
                bytes->size(), Median(checks), valid ? "" : " (NOT VALID)");
    std::filesystem::remove_all(folder);
    return valid ? 0 : 1;
}
