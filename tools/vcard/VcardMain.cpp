// dravik-vcard: a simulated driver card in vpcd's virtual reader. Connecting to
// vpcd inserts the card; closing the connection removes it.
#include "cardsim/DownloadFile.h"
#include "cardsim/DriverCard.h"
#include "cardsim/InfringementWeek.h"
#include "cardsim/SampleCard.h"
#include "vpcd/VpcdCard.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <thread>

namespace {

const char kUsage[] =
    "Usage: dravik-vcard [OPTION]...\n"
    "Inserts a simulated tachograph driver card into vpcd's virtual reader\n"
    "(pcscd with the vsmartcard-vpcd driver) and serves it until it is removed.\n"
    "\n"
    "  --host HOST         vpcd's address (default 127.0.0.1)\n"
    "  --port PORT         vpcd's port: 35963 is the first reader, 35964 the second\n"
    "  --from FILE         serve the card of a card download file instead of the sample\n"
    "  --infringements     the sample's days replaced by a fortnight (2023-12-09 to\n"
    "                      2023-12-24) with one infringement of each driving and rest\n"
    "                      rule: daily, weekly and two-week driving, break, daily rest,\n"
    "                      weekly rest\n"
    "  --protocol T0|T1    the protocol the ATR announces (default T1)\n"
    "  --remove-after N    pull the card after it has answered N commands\n"
    "  --refuse-hash SW    answer every PERFORM HASH OF FILE with status word SW (hex)\n"
    "  --refuse-signature SW  answer every PSO: COMPUTE DIGITAL SIGNATURE with SW\n"
    "  --refuse-update SW  answer every UPDATE BINARY with SW\n"
    "  --stay SECONDS      remove the card after this long (default: until stopped)\n"
    "  --delay MS          answer each command this many milliseconds late, as a real\n"
    "                      card does (about 60); default 0\n"
    "  --baud N            answer at a real card's pace: each byte of the command\n"
    "                      and of the response takes 11 bit times at N bit/s\n"
    "                      (real cards: 9600 unless the reader negotiates more)\n"
    "  --exchange-ms MS    and each exchange this many milliseconds besides\n"
    "  --extended[=HOW]    announce extended length in the ATR's card capabilities\n"
    "                      and serve READ BINARY with an extended Le; HOW info:\n"
    "                      announce it in EF ATR/INFO (2F01 under the MF) instead;\n"
    "                      HOW refuse: announce it, yet answer such reads 6700\n"
    "  --gen2 VERSION      a second-generation card of structure version 1 or 2\n"
    "  --p384              its second-generation key on NIST P-384 (96-byte signatures)\n"
    "  --refuse-probe SW   answer the SELECT of DF Tachograph_G2 with SW\n"
    "  --missing FID       a second-generation card without that G2 file (hex, e.g. 0528)\n"
    "  --help              show this help\n"
    "  --version           show the version\n"
    "\n"
    "The sample card signs with the key of the project's test PKI\n"
    "(tests/data/test-pki); a card from --from answers with the file's signatures.\n"
    "A second-generation card signs its G2 files with the test PKI of the second\n"
    "generation, whose root certificate is tests/data/test-pki/test-root-g2-certificate.bin.\n"
    "--delay, --baud and --exchange-ms add up: an answer leaves no earlier than\n"
    "their sum after its command came.\n"
    "\n"
    "Exit status: 0 when the card was served and removed, 2 for a wrong argument,\n"
    "a file that is no card download file, or a vpcd that cannot be reached.\n";

std::atomic<bool> gStop{false};

void OnSignal(int) {
    gStop = true;
}

std::optional<long> Number(const char* text, long low, long high) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint16_t> StatusWord(const char* text) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 16);
    if (*text == '\0' || *end != '\0' || value < 0x6000 || value > 0x6FFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

struct TRefusal {
    std::uint8_t Cla;
    std::uint8_t Ins;
    std::uint16_t StatusWord;
};

int Usage(const std::string& error) {
    std::cerr << "dravik-vcard: " << error << " (see --help)\n";
    return 2;
}

} // namespace

int main(int argc, char* argv[]) {
    std::string host = "127.0.0.1";
    int port = vpcd::kDefaultPort;
    std::optional<std::string> from;
    bool t0 = false;
    std::optional<int> removeAfter;
    std::optional<int> staySeconds;
    int delayMs = 0;
    long baud = 0;
    int exchangeMs = 0;
    enum class TExtended { No, Serve, Refuse, Info } extended = TExtended::No;
    std::vector<TRefusal> refusals;
    cardsim::TCardOptions options;
    std::optional<std::uint16_t> refusedProbe;
    std::vector<std::uint16_t> missing;
    bool infringements = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--version") {
            std::cout << "dravik-vcard " DRAVIK_VERSION "\n";
            return 0;
        } else if (arg == "--baud" && hasValue) {
            const auto value = Number(argv[++i], 300, 10000000);
            if (!value) {
                return Usage("--baud needs bits per second from 300 to 10000000");
            }
            baud = *value;
        } else if (arg == "--exchange-ms" && hasValue) {
            const auto value = Number(argv[++i], 0, 10000);
            if (!value) {
                return Usage("--exchange-ms needs milliseconds from 0 to 10000");
            }
            exchangeMs = static_cast<int>(*value);
        } else if (arg == "--extended" || arg.rfind("--extended=", 0) == 0) {
            std::string how = arg.size() > 11 ? arg.substr(11) : "serve";
            const auto known = [](const std::string& word) {
                return word == "serve" || word == "refuse" || word == "info";
            };
            if (arg == "--extended" && hasValue && known(argv[i + 1])) {
                how = argv[++i];
            }
            if (!known(how)) {
                return Usage("--extended is serve, refuse or info");
            }
            extended = how == "serve"    ? TExtended::Serve
                       : how == "refuse" ? TExtended::Refuse
                                         : TExtended::Info;
        } else if (arg == "--host" && hasValue) {
            host = argv[++i];
        } else if (arg == "--port" && hasValue) {
            const auto value = Number(argv[++i], 1, 65535);
            if (!value) {
                return Usage("--port needs a port number");
            }
            port = static_cast<int>(*value);
        } else if (arg == "--from" && hasValue) {
            from = argv[++i];
        } else if (arg == "--infringements") {
            infringements = true;
        } else if (arg == "--protocol" && hasValue) {
            const std::string protocol = argv[++i];
            if (protocol != "T0" && protocol != "T1") {
                return Usage("--protocol is T0 or T1");
            }
            t0 = protocol == "T0";
        } else if (arg == "--remove-after" && hasValue) {
            const auto value = Number(argv[++i], 0, 1000000);
            if (!value) {
                return Usage("--remove-after needs a number of commands");
            }
            removeAfter = static_cast<int>(*value);
        } else if ((arg == "--refuse-hash" || arg == "--refuse-signature" ||
                    arg == "--refuse-update") &&
                   hasValue) {
            const auto sw = StatusWord(argv[++i]);
            if (!sw) {
                return Usage(arg + " needs a status word from 6000 to 6FFF");
            }
            if (arg == "--refuse-hash") {
                refusals.push_back({0x80, 0x2A, *sw});
            } else if (arg == "--refuse-signature") {
                refusals.push_back({0x00, 0x2A, *sw});
            } else {
                refusals.push_back({0x00, 0xD6, *sw});
            }
        } else if (arg == "--delay" && hasValue) {
            const auto value = Number(argv[++i], 0, 10000);
            if (!value) {
                return Usage("--delay needs milliseconds from 0 to 10000");
            }
            delayMs = static_cast<int>(*value);
        } else if (arg == "--gen2" && hasValue) {
            const auto value = Number(argv[++i], 1, 2);
            if (!value) {
                return Usage("--gen2 is 1 or 2");
            }
            options.Gen2Version = static_cast<int>(*value);
        } else if (arg == "--p384") {
            options.Gen2OnP384 = true;
        } else if (arg == "--refuse-probe" && hasValue) {
            refusedProbe = StatusWord(argv[++i]);
            if (!refusedProbe) {
                return Usage("--refuse-probe needs a status word from 6000 to 6FFF");
            }
        } else if (arg == "--missing" && hasValue) {
            char* end = nullptr;
            const char* text = argv[++i];
            const unsigned long fid = std::strtoul(text, &end, 16);
            if (*text == '\0' || *end != '\0' || fid > 0xFFFF) {
                return Usage("--missing needs a file identifier in hex");
            }
            missing.push_back(static_cast<std::uint16_t>(fid));
        } else if (arg == "--stay" && hasValue) {
            const auto value = Number(argv[++i], 0, 86400 * 365);
            if (!value) {
                return Usage("--stay needs a number of seconds");
            }
            staySeconds = static_cast<int>(*value);
        } else {
            return Usage("unknown or incomplete argument: " + arg);
        }
    }

    if (infringements && from) {
        return Usage("--infringements and --from exclude each other");
    }
    cardsim::TCardImage image = cardsim::BuildDriverCard(options);
    if (infringements) {
        cardsim::SetActivity(image, cardsim::InfringementWeek(), options.ActivityStructureLength);
    }
    for (const std::uint16_t fid : missing) {
        image.Remove(cardsim::G2(fid));
    }
    if (from) {
        std::ifstream file(*from, std::ios::binary);
        if (!file) {
            std::cerr << "dravik-vcard: cannot read " << *from << '\n';
            return 2;
        }
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                              std::istreambuf_iterator<char>());
        std::string error;
        auto replayed = cardsim::ImageFromDownload(bytes, &error);
        if (!replayed) {
            std::cerr << "dravik-vcard: " << *from << " is not a card download file: " << error
                      << '\n';
            return 2;
        }
        image = std::move(*replayed);
    }
    cardsim::TDriverCard card(std::move(image));
    if (removeAfter) {
        card.RemoveAfter(*removeAfter);
    }
    card.ServeExtendedLength(extended == TExtended::Serve || extended == TExtended::Info);
    if (extended == TExtended::Info) {
        card.AnnounceExtendedLengthInAtrInfo();
    }
    for (const TRefusal& refusal : refusals) {
        card.FailInstruction(refusal.Cla, refusal.Ins, refusal.StatusWord);
    }
    if (refusedProbe) {
        card.FailCommand({0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x53, 0x4D, 0x52, 0x44, 0x54},
                         *refusedProbe);
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    // Extended length is announced in T=1's ATR only (or EF ATR/INFO): T=0
    // carries no extended Le.
    const bool inAtr = extended == TExtended::Serve || extended == TExtended::Refuse;
    const std::vector<std::uint8_t>& atr =
        t0 ? vpcd::AtrT0() : (inAtr ? vpcd::AtrT1Extended() : vpcd::AtrT1());
    vpcd::TVpcdCard inserted(
        atr, [&card, delayMs, baud, exchangeMs](const std::vector<std::uint8_t>& apdu) {
            // The answer is due at a fixed time after the command came: the time
            // the card takes to compute it is part of that, as on a real card.
            const auto due =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs + exchangeMs);
            std::vector<std::uint8_t> response = card.Process(apdu);
            const std::size_t bytes = apdu.size() + response.size();
            const auto wire = std::chrono::microseconds(
                baud > 0 ? static_cast<std::int64_t>(bytes) * 11 * 1000000 / baud : 0);
            std::this_thread::sleep_until(due + wire);
            return response;
        });
    inserted.OnReset = [&card] { card.Reset(); };
    // pcscd may still be starting: try for a few seconds before giving up.
    std::string error;
    const auto connectEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!inserted.Insert(host, port, &error)) {
        if (gStop || std::chrono::steady_clock::now() > connectEnd) {
            std::cerr << "dravik-vcard: " << error << '\n';
            return 2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::cout << "Card inserted at " << host << ':' << port << std::endl;

    const auto stayEnd =
        std::chrono::steady_clock::now() + std::chrono::seconds(staySeconds.value_or(86400 * 365));
    while (!gStop && inserted.Inserted() && std::chrono::steady_clock::now() < stayEnd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    inserted.Remove();
    std::cout << "Card removed after " << inserted.Commands() << " commands" << std::endl;
    return 0;
}
