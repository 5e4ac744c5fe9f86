// dravik-verify: checks the certificate chain and every signature of a card
// download file.
#include "cardfile/CardFile.h"
#include "cardfile/RootKeyFile.h"
#include "platform/Platform.h"

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

namespace {

constexpr int kExitValid = 0;
constexpr int kExitNotValid = 1;
constexpr int kExitError = 2;

const char kUsage[] =
    "Usage: dravik-verify [OPTION]... FILE\n"
    "Checks the signatures of a driver card download file: the certificate chain\n"
    "from the European root key through the Member State certificate (C1 08) and\n"
    "the card certificate (C1 00), then the card's signature of every signed file.\n"
    "Prints one line per signed file (valid, invalid, not signed, blank or not\n"
    "checked) and one for the chain.\n"
    "\n"
    "  --root FILE   the root key file (EC_PK.bin, 144 bytes); without it, EC_PK.bin\n"
    "                beside the program, then in the user's configuration folder\n"
    "  --root-g2 FILE  the second generation's root certificate (a CV certificate);\n"
    "                the G2 part of a second-generation download is checked with it,\n"
    "                through the card's link certificate when the root is newer;\n"
    "                without it, ERCA_Gen2_Root_Certificate.bin, \"ERCA Gen2 Root\n"
    "                Certificate.bin\", ERCA-G2.bin or EC_PK_G2.bin where EC_PK.bin is looked for\n"
    "  --help        show this help\n"
    "  --version     show the version\n"
    "\n"
    "Exit status: 0 the chain and every signature are valid, every signed file is\n"
    "there and both generations' parts are of one card; 1 something is not valid,\n"
    "not signed, missing or not checked (no root key); 2 a usage error, a file that\n"
    "cannot be read or is not a card download file, or a root key file that is not one.\n";

int Usage(const std::string& error) {
    std::cerr << "dravik-verify: " << error << "\nTry 'dravik-verify --help'.\n";
    return kExitError;
}

std::string FidText(std::uint16_t fid) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X %02X", fid >> 8, fid & 0xFF);
    return text;
}

} // namespace

int main(int argc, char* argv[]) {
    std::optional<std::string> rootPath;
    std::optional<std::string> rootG2Path;
    std::optional<std::string> filePath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            std::cout << kUsage;
            return kExitValid;
        } else if (arg == "--version") {
            std::cout << "dravik-verify " << DRAVIK_VERSION << '\n';
            return kExitValid;
        } else if (arg == "--root-g2" || arg.rfind("--root-g2=", 0) == 0) {
            if (arg == "--root-g2") {
                if (i + 1 >= argc) {
                    return Usage("--root-g2 needs a file name");
                }
                rootG2Path = argv[++i];
            } else {
                rootG2Path = arg.substr(10);
            }
            if (rootG2Path->empty()) {
                return Usage("--root-g2 needs a file name");
            }
        } else if (arg == "--root" || arg.rfind("--root=", 0) == 0) {
            if (arg == "--root") {
                if (i + 1 >= argc) {
                    return Usage("--root needs a file name");
                }
                rootPath = argv[++i];
            } else {
                rootPath = arg.substr(7);
            }
            if (rootPath->empty()) {
                return Usage("--root needs a file name");
            }
        } else if (arg == "--") {
            if (i + 2 != argc || filePath) {
                return Usage("give exactly one file");
            }
            filePath = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option: " + arg);
        } else if (filePath) {
            return Usage("give exactly one file");
        } else {
            filePath = arg;
        }
    }
    if (!filePath) {
        return Usage("no file given");
    }

    const auto bytes = cardfile::ReadWholeFile(*filePath);
    if (!bytes) {
        std::cerr << "dravik-verify: cannot read " << *filePath << '\n';
        return kExitError;
    }
    const cardfile::TRootKeyLookup root = rootPath
                                              ? cardfile::LoadRootKey(*rootPath)
                                              : cardfile::FindRootKey(platform::ExecutableDir());
    if (!root.Key && rootPath) {
        std::cerr << "dravik-verify: " << root.Error << '\n';
        return kExitError;
    }

    if (!rootG2Path) {
        if (std::string found = cardfile::FindRootG2(platform::ExecutableDir()); !found.empty()) {
            rootG2Path = found;
        }
    }
    std::optional<cardfile::TBytes> rootG2;
    if (rootG2Path) {
        rootG2 = cardfile::ReadWholeFile(*rootG2Path);
        if (!rootG2) {
            std::cerr << "dravik-verify: cannot read " << *rootG2Path << '\n';
            return kExitError;
        }
    }
    const cardfile::TReport report =
        cardfile::Verify(*bytes, root.Key ? &*root.Key : nullptr, rootG2 ? &*rootG2 : nullptr);
    if (!report.FileError.empty()) {
        std::cerr << "dravik-verify: " << *filePath
                  << " is not a card download file: " << report.FileError << '\n';
        return kExitError;
    }
    for (const cardfile::TBlock& block : report.Blocks) {
        std::cout << FidText(block.Fid) << ": " << cardfile::VerdictText(block.Verdict) << '\n';
    }
    switch (report.Chain) {
    case cardfile::TChain::Valid:
        std::cout << "chain: valid (" << root.Path << ")\n";
        break;
    case cardfile::TChain::Invalid:
        std::cout << "chain: invalid: " << report.ChainText << '\n';
        break;
    case cardfile::TChain::NotChecked:
        std::cout << "chain: not checked: " << root.Error << '\n';
        break;
    }
    for (const cardfile::TBlock& block : report.BlocksG2) {
        std::cout << "G2 " << FidText(block.Fid) << ": " << cardfile::VerdictText(block.Verdict)
                  << '\n';
    }
    if (report.HasG2) {
        switch (report.ChainG2) {
        case cardfile::TChain::Valid:
            std::cout << "G2 chain: valid (" << *rootG2Path << ")\n";
            break;
        case cardfile::TChain::Invalid:
        case cardfile::TChain::NotChecked:
            std::cout << "G2 chain: "
                      << (report.ChainG2 == cardfile::TChain::Invalid ? "invalid: "
                                                                      : "not checked: ")
                      << report.ChainG2Text << '\n';
            break;
        }
    }
    for (const std::string& note : report.Notes) {
        std::cout << note << '\n';
    }
    std::cout << (report.AllValid() ? "valid" : "NOT valid") << ": " << report.Summary() << '\n';
    return report.AllValid() ? kExitValid : kExitNotValid;
}
