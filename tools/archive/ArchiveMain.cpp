// dravik-archive: the office register from the command line, for people and
// for scripts (list --json).
#include "Account.h"
#include "ArchiveOptions.h"
#include "archive/Archive.h"
#include "platform/Platform.h"
#include "platform/UserFolders.h"
#include "register/Register.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

constexpr int kExitDone = 0;
constexpr int kExitPartly = 1;
constexpr int kExitError = 2;

int Fail(const std::string& text, int status = kExitError) {
    std::cerr << "dravik-archive: " << text << '\n';
    return status;
}

fs::path PathOf(const std::string& utf8) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string Utf8Of(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

// The window's archive folder, as dravik-download files into it.
std::string ArchiveFolder() {
    const auto setting = platform::WindowSetting("archiveFolder");
    return setting && !setting->empty() ? *setting : platform::DocumentsFolder() + "/Dravik";
}

// ISO 8601 in UTC, as scripts read it.
std::string UtcText(registry::TTime time) {
    const std::time_t seconds = static_cast<std::time_t>(time);
    const std::tm* utc = std::gmtime(&seconds);
    char text[32] = "";
    if (utc != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    }
    return text;
}

// Local time to the minute, as people read it.
std::string LocalText(registry::TTime time) {
    const std::time_t seconds = static_cast<std::time_t>(time);
    const std::tm* local = std::localtime(&seconds);
    char text[32] = "";
    if (local != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", local);
    }
    return text;
}

// Card bytes that are control characters would steer the terminal.
std::string Printable(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return text;
}

int List(registry::TStore& store, const TArchiveOptions& options) {
    const auto entries = registry::DueRegister(store, std::time(nullptr), options.DueDays);
    if (options.Json) {
        std::string json = "[";
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const registry::TDueEntry& entry = entries[i];
            json += std::string(i == 0 ? "" : ",") +
                    "{\"cardNumber\":" + JsonString(entry.Entry.CardNumber) +
                    ",\"driver\":" + JsonString(entry.Entry.Driver) + ",\"lastDownload\":\"" +
                    UtcText(entry.Entry.LastDownload) + "\",\"due\":\"" + UtcText(entry.Due) +
                    "\",\"status\":\"" + registry::StatusWord(entry.Status) +
                    "\",\"downloads\":" + std::to_string(entry.Entry.Downloads) +
                    ",\"lastWhole\":" + (entry.Entry.LastWhole ? "true" : "false") + "}";
        }
        std::cout << json << "]\n";
        return kExitDone;
    }
    for (const registry::TDueEntry& entry : entries) {
        std::cout << Printable(entry.Entry.CardNumber) << "  " << Printable(entry.Entry.Driver)
                  << "  last " << LocalText(entry.Entry.LastDownload)
                  << (entry.Entry.LastWhole ? "" : " (not whole)") << "  due "
                  << LocalText(entry.Due) << "  " << registry::StatusWord(entry.Status) << "  "
                  << entry.Entry.Downloads
                  << (entry.Entry.Downloads == 1 ? " download\n" : " downloads\n");
    }
    return kExitDone;
}

int Import(registry::TStore& store, const TArchiveOptions& options) {
    const registry::TImportResult result = registry::Import(store, options.Arguments);
    for (const std::string& skipped : result.Skipped) {
        std::cerr << "dravik-archive: skipped " << Printable(skipped) << '\n';
    }
    std::cout << result.Recorded << (result.Recorded == 1 ? " download" : " downloads")
              << " recorded, " << result.Duplicates << " already in the register, "
              << result.Skipped.size() << " skipped\n";
    return result.Skipped.empty() ? kExitDone : kExitPartly;
}

// The register's name of a file as a name in OUTDIR: never another folder,
// never a hidden file or "..".
std::string ExportName(const registry::TDownload& download) {
    std::string name = archive::SafeName(download.FileName);
    if (name.empty() || name[0] == '.') {
        name = "C_" + name;
    }
    return name;
}

int Export(registry::TStore& store, const TArchiveOptions& options) {
    const std::string& card = options.Arguments[0];
    const fs::path folder = PathOf(options.Arguments[1]);
    const auto files = store.Files(card, options.All);
    if (files.empty()) {
        return Fail("no download of card " + Printable(card) + " in the register", kExitPartly);
    }
    try {
        archive::MakeFolder(Utf8Of(folder));
    } catch (const archive::TError& error) {
        return Fail(error.what());
    }
    for (const registry::TDownload& download : files) {
        const fs::path target = folder / PathOf(ExportName(download));
        std::error_code error;
        if (fs::exists(target, error)) {
            std::ifstream in(target, std::ios::binary);
            const registry::TBytes there((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
            if (there == download.Bytes) {
                std::cout << Utf8Of(target) << " (already there)\n";
                continue;
            }
            return Fail("cannot write " + Utf8Of(target) + ": another file has that name");
        }
        const fs::path temporary = folder / PathOf("." + ExportName(download) + ".part");
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(download.Bytes.data()),
                      static_cast<std::streamsize>(download.Bytes.size()));
            out.close();
            if (!out) {
                fs::remove(temporary, error);
                return Fail("cannot write " + Utf8Of(target));
            }
        }
        fs::rename(temporary, target, error);
        if (error) {
            fs::remove(temporary, error);
            return Fail("cannot write " + Utf8Of(target) + ": " + error.message());
        }
        std::cout << Utf8Of(target) << '\n';
    }
    return kExitDone;
}

} // namespace

int main(int argc, char* argv[]) {
    platform::UseUtf8Console();
    TArchiveOptions options;
    const std::string usageError =
        ParseArchiveOptions(platform::Utf8Arguments(argc, argv), options);
    if (!usageError.empty()) {
        return Fail(usageError + " (see --help)");
    }
    if (options.Help) {
        std::cout << kArchiveUsage;
        return kExitDone;
    }
    if (options.Version) {
        std::cout << "dravik-archive " DRAVIK_VERSION "\n";
        return kExitDone;
    }
    try {
        // The window's register setting when none is given.
        const std::string location =
            options.Store ? *options.Store
                          : platform::WindowSetting("registerStore").value_or(std::string());
        const auto store = registry::OpenStore(location, ArchiveFolder());
        switch (options.Command) {
        case TArchiveOptions::TCommand::List:
            return List(*store, options);
        case TArchiveOptions::TCommand::Import:
            return Import(*store, options);
        case TArchiveOptions::TCommand::Export:
            return Export(*store, options);
        case TArchiveOptions::TCommand::None:
            break;
        }
    } catch (const registry::TStoreError& error) {
        return Fail(error.what());
    }
    return kExitError;
}
