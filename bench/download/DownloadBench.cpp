// bench_download: dravik-download against the least program that makes the
// same exchanges (bench_download_minimal), both whole processes reading the
// sample driver card through pcscd and vpcd: with --output FILE, with the
// default output (the archive under a temporary HOME) and with --json, when
// this dravik-download has it. Then where the time goes: the start-up, the
// way to the card and the download itself, each against the minimal client's.
// Last, the window's download against dravik-download's, both inside this
// process. Medians of 10 rounds and their ratios. Runs itself in a private
// namespace with a pcscd of its own (root only), so the machine's pcscd is
// never touched.
#include "InProcessRuns.h"
#include "Pcscd.h"
#include "ProgramRuns.h"
#include "archive/Archive.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace {

constexpr int kRounds = 10;
constexpr int kWarmUps = 1;
constexpr double kTargetRatio = 1.05;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return (values[values.size() / 2] + values[(values.size() - 1) / 2]) / 2;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One program's runs in the rounds, and its line of the table.
struct TRow {
    std::string Name;
    std::vector<std::string> Arguments;
    std::vector<std::string> Environment;
    std::vector<double> Ms;
    int ExitCode = 0; // the first run's that was not 0
};

bool RunRow(TRow& row, bool measured) {
    const TProgramRun run = TimedRun(row.Arguments, row.Environment);
    if (run.ExitCode != 0) {
        row.ExitCode = run.ExitCode;
        return false;
    }
    if (measured) {
        row.Ms.push_back(run.Ms);
    }
    return true;
}

void PrintRow(const TRow& row, const TRow* baseline) {
    std::printf("  %-44s %8.2f ms  (min %.2f, max %.2f)", row.Name.c_str(), Median(row.Ms),
                *std::min_element(row.Ms.begin(), row.Ms.end()),
                *std::max_element(row.Ms.begin(), row.Ms.end()));
    if (baseline != nullptr) {
        const double ratio = Median(row.Ms) / Median(baseline->Ms);
        std::printf("  ratio %.3f (target <= %.2f): %s", ratio, kTargetRatio,
                    ratio <= kTargetRatio ? "met" : "NOT met");
    }
    std::printf("\n");
}

std::size_t FilesUnder(const std::filesystem::path& folder) {
    std::error_code error;
    std::size_t count = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        count += it->is_regular_file() ? 1 : 0;
    }
    return count;
}

int Fail(const std::string& text) {
    std::fprintf(stderr, "bench_download: %s\n", text.c_str());
    return 1;
}

// Runs this program again inside tests/pcscd/in-namespace.sh.
void EnterNamespace(char* argv[]) {
    const char* inside = std::getenv("DRAVIK_IN_NAMESPACE");
    if (inside != nullptr && std::strcmp(inside, "1") == 0) {
        return;
    }
    std::vector<char*> arguments{const_cast<char*>(IN_NAMESPACE_PATH)};
    for (char** arg = argv; *arg != nullptr; ++arg) {
        arguments.push_back(*arg);
    }
    arguments.push_back(nullptr);
    execv(arguments[0], arguments.data());
    std::perror("bench_download: cannot run " IN_NAMESPACE_PATH);
    std::exit(1);
}

// One download of each in a card of its own: the commands each made must be
// the same number, or the baseline is not doing the same work.
bool SameExchanges(const std::vector<std::string>& download,
                   const std::vector<std::string>& minimal) {
    int counts[2] = {-1, -1};
    const std::vector<std::string>* programs[2] = {&download, &minimal};
    for (int i = 0; i < 2; ++i) {
        TVirtualCard card(DRAVIK_VCARD_PATH, {"--refuse-update", "6A88"});
        std::string error;
        if (!card.Insert(&error)) {
            Fail(error);
            return false;
        }
        const TProgramRun run = TimedRun(*programs[i]);
        counts[i] = card.Remove();
        if (run.ExitCode != 0) {
            Fail((*programs[i])[0] + " ended with " + std::to_string(run.ExitCode));
            return false;
        }
    }
    std::printf("Commands of one download: dravik-download %d, minimal client %d\n", counts[0],
                counts[1]);
    return counts[0] > 0 && counts[0] == counts[1];
}

} // namespace

int main(int argc, char* argv[]) {
    EnterNamespace(argv);

    std::string folder =
        (std::filesystem::temp_directory_path() / "dravik-bench-download-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        return Fail("cannot make a temporary folder");
    }
    struct TCleanUp {
        std::string Folder;
        ~TCleanUp() { std::filesystem::remove_all(Folder); }
    } cleanUp{folder};

    TPcscd pcscd;
    std::string error;
    if (!pcscd.Start(&error)) {
        return Fail(error);
    }
    const std::string cliFile = folder + "/cli.ddd";
    const std::vector<std::string> download{DRAVIK_DOWNLOAD_PATH, "--output", cliFile, "--reader",
                                            "Virtual PCD 00 00"};
    const std::string minimalFile = folder + "/minimal.ddd";
    const std::vector<std::string> minimal{MINIMAL_CLIENT_PATH, minimalFile};
    if (!SameExchanges(download, minimal)) {
        return Fail("dravik-download and the minimal client do not make the same exchanges");
    }
    // Both read a card that keeps its last download date: the same file.
    if (ReadFile(minimalFile).empty() || ReadFile(minimalFile) != ReadFile(cliFile)) {
        return Fail("the minimal client's file differs from dravik-download's");
    }

    // The card refuses the update of its last download date, so that every
    // download of it gives the same file (the update's exchange is still made).
    TVirtualCard card(DRAVIK_VCARD_PATH, {"--refuse-update", "6A88"});
    if (!card.Insert(&error)) {
        return Fail(error);
    }
    // In the second reader, the same card knowing no signatures: the download
    // as it was before cards signed, timed in the same rounds.
    TVirtualCard unsigning(DRAVIK_VCARD_PATH,
                           {"--port", "35964", "--refuse-hash", "6D00", "--refuse-signature",
                            "6D00", "--refuse-update", "6D00"});
    if (!unsigning.Insert(&error)) {
        return Fail(error);
    }
    const std::vector<std::string> unsignedDownload{DRAVIK_DOWNLOAD_PATH, "--output",
                                                    folder + "/unsigned.ddd", "--reader",
                                                    "Virtual PCD 00 01"};
    // The default output as a user has it: the archive under HOME,
    // $HOME/Documents/Dravik, where it goes when no other documents folder
    // is configured (said so here, whatever this machine's user configured).
    const std::string home = folder + "/home";
    std::filesystem::create_directories(home + "/.config");
    const std::vector<std::string> userEnvironment{"HOME=" + home,
                                                   "XDG_CONFIG_HOME=" + home + "/.config",
                                                   "XDG_DOCUMENTS_DIR=" + home + "/Documents"};
    const bool hasJson =
        OutputOf({DRAVIK_DOWNLOAD_PATH, "--help"}).find("--json") != std::string::npos;
    std::vector<TRow> rows{
        {"dravik-download --output FILE", download, {}, {}},
        {"dravik-download, default output",
         {DRAVIK_DOWNLOAD_PATH, "--reader", "Virtual PCD 00 00"},
         userEnvironment,
         {}},
    };
    if (hasJson) {
        rows.push_back({"dravik-download --json, default output",
                        {DRAVIK_DOWNLOAD_PATH, "--json", "--reader", "Virtual PCD 00 00"},
                        userEnvironment,
                        {}});
    }
    TRow minimalRow{"minimal client", minimal, {}, {}};
    // The baseline of the archive's durability: the minimal client's file
    // flushed to disk before it is closed.
    TRow durableRow{"minimal client, its file fsynced",
                    {MINIMAL_CLIENT_PATH, "--fsync", folder + "/durable.ddd"},
                    {},
                    {}};
    TRow unsignedRow{"card without signatures", unsignedDownload, {}, {}};
    // Each round starts with another program: on this shared machine a
    // fixed order would give whichever runs first the same luck every round.
    std::vector<TRow*> order;
    for (TRow& row : rows) {
        order.push_back(&row);
    }
    order.insert(order.end(), {&minimalRow, &durableRow, &unsignedRow});
    for (int round = 0; round < kWarmUps + kRounds; ++round) {
        const bool measured = round >= kWarmUps;
        for (std::size_t i = 0; i < order.size(); ++i) {
            TRow& row = *order[(i + static_cast<std::size_t>(round)) % order.size()];
            if (!RunRow(row, measured)) {
                return Fail(row.Name + " ended with " + std::to_string(row.ExitCode));
            }
        }
    }
    const std::vector<double>& downloadMs = rows[0].Ms;
    const std::vector<double>& minimalMs = minimalRow.Ms;
    const std::vector<double>& unsignedMs = unsignedRow.Ms;

    // Where the time goes: the process alone (dravik-download --help against
    // the minimal client ending at main()), then the way to the card
    // (dravik-download --list: context, reader list, the reader's watcher and
    // its first report; the minimal client: context and connection).
    TRow startUp{"dravik-download --help", {DRAVIK_DOWNLOAD_PATH, "--help"}, {}, {}};
    TRow minimalStartUp{"minimal client to main()", {MINIMAL_CLIENT_PATH, "--startup"}, {}, {}};
    TRow toCard{"dravik-download --list (to the card's state)",
                {DRAVIK_DOWNLOAD_PATH, "--list", "--reader", "Virtual PCD 00 00"},
                {},
                {}};
    TRow minimalToCard{
        "minimal client to the card connected", {MINIMAL_CLIENT_PATH, "--connect"}, {}, {}};
    bool partsMeasured = true;
    for (int round = 0; round < kWarmUps + kRounds && partsMeasured; ++round) {
        for (TRow* row : {&startUp, &minimalStartUp, &toCard, &minimalToCard}) {
            partsMeasured = partsMeasured && RunRow(*row, round >= kWarmUps);
        }
    }
    unsigning.Remove();

    // A full second-generation card of version 2 in the second reader: both
    // applications, every signature checked against the two test roots.
    TVirtualCard gen2(DRAVIK_VCARD_PATH,
                      {"--port", "35964", "--gen2", "2", "--refuse-update", "6A88"});
    if (!gen2.Insert(&error)) {
        return Fail(error);
    }
    const std::string gen2File = folder + "/gen2.ddd";
    const std::vector<std::string> gen2Download{DRAVIK_DOWNLOAD_PATH,
                                                "--output",
                                                gen2File,
                                                "--reader",
                                                "Virtual PCD 00 01",
                                                "--root",
                                                TEST_PKI_DIR "/test-root-EC_PK.bin",
                                                "--root-g2",
                                                TEST_PKI_DIR "/test-root-g2-certificate.bin"};
    std::vector<double> gen2Ms;
    for (int round = 0; round < kWarmUps + kRounds; ++round) {
        const TProgramRun run = TimedRun(gen2Download);
        if (run.ExitCode != 0) {
            return Fail("the download of the second-generation card ended with " +
                        std::to_string(run.ExitCode));
        }
        if (round >= kWarmUps) {
            gen2Ms.push_back(run.Ms);
        }
    }
    gen2.Remove();
    const TProgramRun verified =
        TimedRun({DRAVIK_VERIFY_PATH, "--root", TEST_PKI_DIR "/test-root-EC_PK.bin", "--root-g2",
                  TEST_PKI_DIR "/test-root-g2-certificate.bin", gen2File});
    const double downloadMedian = Median(downloadMs);
    const double minimalMedian = Median(minimalMs);
    std::printf("Sample driver card (T=1) through pcscd and vpcd, whole processes, median of %d "
                "rounds:\n",
                kRounds);
    for (const TRow& row : rows) {
        PrintRow(row, &minimalRow);
    }
    if (!hasJson) {
        std::printf("  dravik-download --json: not measured, this dravik-download has no --json\n");
    }
    PrintRow(minimalRow, nullptr);
    PrintRow(durableRow, nullptr);
    std::printf("  dravik-download, default output / the fsynced minimal client %.3f\n",
                Median(rows[1].Ms) / Median(durableRow.Ms));
    if (hasJson) {
        std::printf("  dravik-download --json / the fsynced minimal client %.3f\n",
                    Median(rows[2].Ms) / Median(durableRow.Ms));
    }
    const std::size_t archived = FilesUnder(home + "/Documents/Dravik");
    std::printf(
        "  the default output went %s\n",
        archived > 0
            ? ("into the archive under HOME (" + std::to_string(archived) + " files)").c_str()
            : "elsewhere than an archive under HOME (tmp.ddd beside the program)");
    // What the default output adds to a download: the archive's copy of the
    // working file, flushed to disk before it gets its name.
    std::vector<double> archiveMs;
    try {
        for (int round = 0; round < kWarmUps + kRounds; ++round) {
            const auto start = std::chrono::steady_clock::now();
            archive::Save(cliFile, folder + "/archive", "C_bench", true);
            const std::chrono::duration<double, std::milli> took =
                std::chrono::steady_clock::now() - start;
            if (round >= kWarmUps) {
                archiveMs.push_back(took.count());
            }
        }
        std::printf("  archive::Save of the file (copy, fsync, rename, fsync of the folder) "
                    "%.2f ms (min %.2f, max %.2f)\n",
                    Median(archiveMs), *std::min_element(archiveMs.begin(), archiveMs.end()),
                    *std::max_element(archiveMs.begin(), archiveMs.end()));
    } catch (const archive::TError& error) {
        return Fail(std::string("archive::Save failed: ") + error.what());
    }
    if (partsMeasured) {
        const double startMs = Median(startUp.Ms) - Median(minimalStartUp.Ms);
        const double toCardMs = Median(toCard.Ms) - Median(minimalToCard.Ms);
        std::printf("Where the time goes, medians of %d rounds:\n", kRounds);
        PrintRow(startUp, nullptr);
        PrintRow(minimalStartUp, nullptr);
        PrintRow(toCard, nullptr);
        PrintRow(minimalToCard, nullptr);
        std::printf("  dravik-download's extra: start-up %.2f ms, the rest of the way to the card "
                    "%.2f ms, the download after it %.2f ms\n",
                    startMs, toCardMs - startMs,
                    (downloadMedian - Median(toCard.Ms)) -
                        (minimalMedian - Median(minimalToCard.Ms)));
    } else {
        std::printf("Where the time goes: not measured (dravik-download --list or the minimal "
                    "client's parts failed)\n");
    }
    const double unsignedMedian = Median(unsignedMs);
    std::printf("  dravik-download of a card without signatures (the download before cards "
                "signed) %8.2f ms; signed download / that %.3f\n",
                unsignedMedian, downloadMedian / unsignedMedian);

    const double gen2Median = Median(gen2Ms);
    std::printf("  dravik-download of a full second-generation card (version 2) %8.2f ms "
                "(min %.2f, max %.2f); / the first-generation card %.3f; file %ju bytes; "
                "dravik-verify with both test roots: %s\n",
                gen2Median, *std::min_element(gen2Ms.begin(), gen2Ms.end()),
                *std::max_element(gen2Ms.begin(), gen2Ms.end()), gen2Median / downloadMedian,
                static_cast<std::uintmax_t>(std::filesystem::file_size(gen2File)),
                verified.ExitCode == 0 ? "valid" : "NOT valid");

    const TInProcessTimes inProcess = TimeInProcess(argc, argv, folder, kWarmUps, kRounds);
    if (!inProcess.Error.empty()) {
        return Fail(inProcess.Error);
    }
    const std::string expected = ReadFile(cliFile);
    if (expected.empty() || ReadFile(folder + "/window.ddd") != expected ||
        ReadFile(folder + "/session.ddd") != expected) {
        return Fail("the window's, the session's and dravik-download's files differ");
    }
    const double windowMedian = Median(inProcess.WindowMs);
    const double sessionMedian = Median(inProcess.SessionMs);
    std::printf("The same card, in-process from the press of the read button to the closing "
                "message, median of %d rounds (file of %zu bytes):\n",
                kRounds, expected.size());
    std::printf("  window (offscreen, BitBtn1->click())   %8.2f ms\n", windowMedian);
    std::printf("  dravik-download's session BitBtn1Click %8.2f ms\n", sessionMedian);
    std::printf("  ratio window / session %.3f\n", windowMedian / sessionMedian);
    return 0;
}
