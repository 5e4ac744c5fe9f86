// bench_pace: how close a download comes to what the card allows. The card
// answers at a real card's pace (dravik-vcard --baud N --exchange-ms 5: each
// byte of command and response 11 bit times, 5 ms for each exchange), and a
// download is timed from dravik-download's start to its end against the
// card's floor: the bytes the file holds at that rate plus the fewest
// exchanges that carry them, the first-generation part at its 250-byte reads
// and each second-generation record in one extended-length read. A first- and
// a second-generation card at 115,200 bit/s (median of --rounds, default 3)
// and at 9,600 bit/s (once: a second-generation card takes well over a
// minute), the second generation with the short reads of a card that does
// not announce extended length (the baseline) and with extended length.
// Then four readers with a first-generation card each at 9,600 bit/s, downloaded
// by one dravik-download --watch, against one card alone in the same watch
// and against the four one after the other (what --watch did before it
// downloaded the readers at once). --no-9600 leaves the slow rate, and the
// four readers, out; --readers-only measures only the four readers. Targets: the second generation
// at 115,200 bit/s with extended length within 1.10 of its floor; four readers within 1.2 of one
// card. Runs itself in a private namespace with a pcscd of its own (root only).
#include "Pcscd.h"
#include "ProgramRuns.h"
#include "cardfile/CardFile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <unistd.h>

namespace {

constexpr int kExchangeMs = 5;
constexpr double kTargetRatio = 1.10;
constexpr double kTargetFourReaders = 1.2;
constexpr int kReaders = 4;
constexpr std::size_t kShortRead = 250;

int Fail(const std::string& text) {
    std::fprintf(stderr, "bench_pace: %s\n", text.c_str());
    return 1;
}

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
    std::perror("bench_pace: cannot run " IN_NAMESPACE_PATH);
    std::exit(1);
}

// The simulated card's options for a real card's pace at `baud`.
std::vector<std::string> CardOptions(long baud) {
    return {"--baud",          std::to_string(baud),
            "--exchange-ms",   std::to_string(kExchangeMs),
            "--refuse-update", "6A88"};
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The floor of a card at `baud`: its file's record data at 11 bit times a
// byte, and the fewest exchanges that carry it.
struct TFloor {
    std::size_t Bytes = 0;
    std::size_t Exchanges = 0;
    double Ms = 0;
};

TFloor FloorOf(const std::string& file, long baud) {
    TFloor floor;
    const auto records = cardfile::ReadRecords(
        cardfile::TBytesView(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()),
        nullptr);
    if (!records) {
        return floor;
    }
    for (const cardfile::TRecord& record : *records) {
        floor.Bytes += record.Data.size();
        const bool firstGeneration = record.Type <= 0x01;
        floor.Exchanges += firstGeneration ? (record.Data.size() + kShortRead - 1) / kShortRead : 1;
    }
    floor.Ms = static_cast<double>(floor.Bytes) * 11 * 1000 / static_cast<double>(baud) +
               static_cast<double>(floor.Exchanges * kExchangeMs);
    return floor;
}

struct TCase {
    TCase(std::string name, long baud, bool gen2, bool extended, int rounds)
        : Name(std::move(name)), Baud(baud), Gen2(gen2), Extended(extended), Rounds(rounds) {}
    std::string Name;
    long Baud;
    bool Gen2;
    bool Extended;
    int Rounds;
    std::vector<double> Ms;
    int Commands = -1;
    std::string File;
    TFloor Floor;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return (values[values.size() / 2] + values[(values.size() - 1) / 2]) / 2;
}

bool Run(TCase& c, const std::string& folder) {
    std::vector<std::string> options = CardOptions(c.Baud);
    if (c.Gen2) {
        options.insert(options.end(), {"--gen2", "2"});
    }
    if (c.Extended) {
        options.push_back("--extended");
    }
    TVirtualCard card(DRAVIK_VCARD_PATH, options);
    std::string error;
    if (!card.Insert(&error)) {
        return Fail(error) == 0;
    }
    const std::string path = folder + "/" + std::to_string(c.Baud) + (c.Gen2 ? "-g2" : "-g1") +
                             (c.Extended ? "-ext" : "") + ".ddd";
    for (int round = 0; round < c.Rounds; ++round) {
        const TProgramRun run =
            TimedRun({DRAVIK_DOWNLOAD_PATH, "--output", path, "--reader", "Virtual PCD 00 00"});
        if (run.ExitCode != 0) {
            return Fail(c.Name + ": dravik-download ended with " + std::to_string(run.ExitCode)) ==
                   0;
        }
        c.Ms.push_back(run.Ms);
    }
    c.Commands = card.Remove() / c.Rounds;
    c.File = ReadFile(path);
    c.Floor = FloorOf(c.File, c.Baud);
    return c.Floor.Bytes > 0;
}

void Print(const TCase& c, const TCase* baseline) {
    const double ms = Median(c.Ms);
    std::printf("  %-40s %9.0f ms  %4d commands  floor %9.0f ms (%zu bytes, %zu exchanges)  "
                "ratio %.3f",
                c.Name.c_str(), ms, c.Commands, c.Floor.Ms, c.Floor.Bytes, c.Floor.Exchanges,
                ms / c.Floor.Ms);
    if (baseline != nullptr) {
        std::printf("  (short reads %.3f; same file: %s)", Median(baseline->Ms) / c.Floor.Ms,
                    baseline->File == c.File ? "yes" : "NO");
    }
    std::printf("\n");
}

// Whether every line of a watch's output is a download with exit status 0.
bool AllRead(const std::string& output, int lines) {
    int read = 0;
    for (std::size_t at = 0; (at = output.find("\"exitStatus\":0}", at)) != std::string::npos;
         ++at) {
        ++read;
    }
    return read == lines;
}

// One --watch until `cards` downloads are reported, the cards inserted in the
// first readers before it starts; its milliseconds, or -1.
double WatchUntilRead(int cards, const std::string& folder) {
    std::vector<std::unique_ptr<TVirtualCard>> inserted;
    for (int reader = 0; reader < cards; ++reader) {
        std::vector<std::string> options = CardOptions(9600);
        options.insert(options.end(), {"--port", std::to_string(35963 + reader)});
        inserted.push_back(std::make_unique<TVirtualCard>(DRAVIK_VCARD_PATH, options));
        std::string error;
        if (!inserted.back()->Insert(&error)) {
            Fail(error);
            return -1;
        }
    }
    const std::string output = folder + "/watch-" + std::to_string(cards) + "/";
    const TProgramRun run =
        TimedLines({DRAVIK_DOWNLOAD_PATH, "--watch", "--json", "--output", output}, cards);
    if (run.Ms < 0 || !AllRead(run.Output, cards)) {
        Fail("the watch of " + std::to_string(cards) + " cards said: " + run.Output);
        return -1;
    }
    return run.Ms;
}

// The four readers: one card, four at once, and four one after the other.
bool RunFourReaders(TPcscd& pcscd, const std::string& folder) {
    std::string error;
    const std::string config =
        WriteVpcdConfig(folder + "/vpcd", kReaders / kVpcdReadersPerDriver, &error);
    if (config.empty() || !pcscd.Start(&error, config)) {
        return Fail(error) == 0;
    }
    std::vector<std::string> names;
    {
        std::istringstream listed(OutputOf({DRAVIK_DOWNLOAD_PATH, "--list"}));
        std::string line;
        while (std::getline(listed, line)) {
            names.push_back(line.substr(0, line.rfind(": ")));
        }
    }
    if (names.size() != kReaders) {
        return Fail("pcscd shows " + std::to_string(names.size()) + " readers, not 4") == 0;
    }
    const double one = WatchUntilRead(1, folder);
    const double four = one < 0 ? -1 : WatchUntilRead(kReaders, folder);
    if (four < 0) {
        return false;
    }
    // Before: the watch downloaded one reader's card after the other's.
    double sequential = 0;
    for (int reader = 0; reader < kReaders; ++reader) {
        std::vector<std::string> options = CardOptions(9600);
        options.insert(options.end(), {"--port", std::to_string(35963 + reader)});
        TVirtualCard card(DRAVIK_VCARD_PATH, options);
        if (!card.Insert(&error)) {
            return Fail(error) == 0;
        }
        const TProgramRun run =
            TimedRun({DRAVIK_DOWNLOAD_PATH, "--output", folder + "/one-by-one.ddd", "--reader",
                      names[static_cast<std::size_t>(reader)]});
        if (run.ExitCode != 0) {
            return Fail("a single download on " + names[static_cast<std::size_t>(reader)] +
                        " ended with " + std::to_string(run.ExitCode)) == 0;
        }
        sequential += run.Ms;
    }
    std::printf("Four readers (%s ... %s), a G1 card each at 9,600 bit/s, one --watch:\n",
                names.front().c_str(), names.back().c_str());
    std::printf("  one card alone %9.0f ms\n  four at once    %9.0f ms  ratio %.3f to one card\n"
                "  one by one      %9.0f ms  ratio %.3f (the watch before)\n",
                one, four, four / one, sequential, sequential / one);
    std::printf("  target: four readers <= %.1f of one card: %.3f, %s\n", kTargetFourReaders,
                four / one, four / one <= kTargetFourReaders ? "met" : "NOT met");
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    EnterNamespace(argv);
    int rounds = 3;
    bool slow = true;
    bool readersOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--no-9600") == 0) {
            slow = false;
        } else if (std::strcmp(argv[i], "--readers-only") == 0) {
            readersOnly = true;
        }
    }
    std::string folder =
        (std::filesystem::temp_directory_path() / "dravik-bench-pace-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        return Fail("cannot make a temporary folder");
    }
    struct TCleanUp {
        std::string Folder;
        ~TCleanUp() { std::filesystem::remove_all(Folder); }
    } cleanUp{folder};
    TPcscd pcscd;
    std::string error;
    if (readersOnly) {
        return RunFourReaders(pcscd, folder) ? 0 : Fail("the four readers were not measured");
    }
    if (!pcscd.Start(&error)) {
        return Fail(error);
    }

    std::vector<TCase> cases{
        {"G1 at 115,200 bit/s", 115200, false, false, rounds},
        {"G2 at 115,200 bit/s, short reads", 115200, true, false, rounds},
        {"G2 at 115,200 bit/s, extended length", 115200, true, true, rounds},
        {"G1 at 9,600 bit/s", 9600, false, false, 1},
        {"G2 at 9,600 bit/s, short reads", 9600, true, false, 1},
        {"G2 at 9,600 bit/s, extended length", 9600, true, true, 1},
    };
    if (!slow) {
        cases.erase(cases.begin() + 3, cases.end());
    }
    for (TCase& c : cases) {
        if (!Run(c, folder)) {
            return Fail(c.Name + " was not measured");
        }
    }
    std::printf("Downloads by dravik-download through pcscd and vpcd, the card at %d ms an "
                "exchange; medians of %d rounds at 115,200 bit/s%s:\n",
                kExchangeMs, rounds, slow ? ", one at 9,600" : "");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        Print(cases[i], cases[i].Extended ? &cases[i - 1] : nullptr);
    }
    const double ratio = Median(cases[2].Ms) / cases[2].Floor.Ms;
    std::printf("  target: G2 at 115,200 bit/s with extended length <= %.2f of its floor: %.3f, "
                "%s (short reads %.3f)\n",
                kTargetRatio, ratio, ratio <= kTargetRatio ? "met" : "NOT met",
                Median(cases[1].Ms) / cases[2].Floor.Ms);
    std::fflush(stdout);
    if (slow && !RunFourReaders(pcscd, folder)) {
        return Fail("the four readers were not measured");
    }
    return 0;
}
