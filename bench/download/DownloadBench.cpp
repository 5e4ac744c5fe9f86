// bench_download: dravik-download against the least program that makes the
// same exchanges (bench_download_minimal), both whole processes reading the
// sample driver card through pcscd and vpcd; then the window's download
// against dravik-download's, both inside this process. Medians of 10 rounds
// and their ratios. Runs itself in a private namespace with a pcscd of its own
// (root only), so the machine's pcscd is never touched.
#include "InProcessRuns.h"
#include "Pcscd.h"
#include "ProgramRuns.h"

#include <algorithm>
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
constexpr double kTargetRatio = 1.10;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return (values[values.size() / 2] + values[(values.size() - 1) / 2]) / 2;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
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
    const std::vector<std::string> minimal{MINIMAL_CLIENT_PATH};
    if (!SameExchanges(download, minimal)) {
        return Fail("dravik-download and the minimal client do not make the same exchanges");
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
    std::vector<double> downloadMs, minimalMs, unsignedMs;
    for (int round = 0; round < kWarmUps + kRounds; ++round) {
        const TProgramRun a = TimedRun(download);
        const TProgramRun b = TimedRun(minimal);
        const TProgramRun c = TimedRun(unsignedDownload);
        if (a.ExitCode != 0 || b.ExitCode != 0 || c.ExitCode != 0) {
            return Fail("a download failed: dravik-download " + std::to_string(a.ExitCode) +
                        ", minimal client " + std::to_string(b.ExitCode) +
                        ", dravik-download of the card without signatures " +
                        std::to_string(c.ExitCode));
        }
        if (round >= kWarmUps) {
            downloadMs.push_back(a.Ms);
            minimalMs.push_back(b.Ms);
            unsignedMs.push_back(c.Ms);
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
    const double processRatio = downloadMedian / minimalMedian;
    std::printf("Sample driver card (T=1) through pcscd and vpcd, whole processes, median of %d "
                "rounds:\n",
                kRounds);
    std::printf("  dravik-download  %8.2f ms  (min %.2f, max %.2f)\n", downloadMedian,
                *std::min_element(downloadMs.begin(), downloadMs.end()),
                *std::max_element(downloadMs.begin(), downloadMs.end()));
    std::printf("  minimal client   %8.2f ms  (min %.2f, max %.2f)\n", minimalMedian,
                *std::min_element(minimalMs.begin(), minimalMs.end()),
                *std::max_element(minimalMs.begin(), minimalMs.end()));
    std::printf("  ratio %.3f (target <= %.2f): %s\n", processRatio, kTargetRatio,
                processRatio <= kTargetRatio ? "met" : "NOT met");
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
