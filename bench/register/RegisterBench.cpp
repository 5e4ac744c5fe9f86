// The register at an office's scale: the due register of 100,000 downloads
// of 5,000 drivers must list in under 200 ms, and an import must take at
// least 200 files a second, on SQLite and on PostgreSQL. Each figure is also
// given against a baseline in the same process: for the list, reading one
// column of every row; for the import, reading and hashing the files alone.
#include "ExpectedDownload.h"
#include "PostgresServer.h"
#include "cardfile/CardFile.h"
#include "cardsim/DriverCard.h"
#include "cardsim/SampleCard.h"
#include "register/Register.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDownloads = 100000;
constexpr int kDrivers = 5000;
constexpr int kFiles = 1000;
constexpr double kListLimitMs = 200;
constexpr double kImportFloor = 200; // files a second

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string CardNumber(int driver) {
    char text[17];
    std::snprintf(text, sizeof text, "B%015d", driver);
    return text;
}

void Fill(registry::TStore& store) {
    std::vector<registry::TDownload> batch;
    const registry::TTime start = 1700000000;
    for (int i = 0; i < kDownloads; ++i) {
        registry::TDownload download;
        download.CardNumber = CardNumber(i % kDrivers);
        download.Driver = "I_DRIVER" + std::to_string(i % kDrivers);
        download.DownloadTime = start + static_cast<registry::TTime>(i) * 600;
        download.Whole = i % 7 != 0;
        download.Bytes.resize(64);
        std::memcpy(download.Bytes.data(), &i, sizeof i);
        download.Sha256 = registry::Sha256Hex(download.Bytes);
        download.FileName = "C_" + std::to_string(i) + ".ddd";
        batch.push_back(std::move(download));
        if (batch.size() == 2000) {
            store.RecordAll(batch);
            batch.clear();
        }
    }
}

// The best of five: the first run warms the caches, as an office's second
// look at the list would.
double BestOf(const std::function<void()>& run) {
    double best = 1e18;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        run();
        best = std::min(best, MsSince(start));
    }
    return best;
}

// 1,000 driver card downloads of 100 cards: one real download with the card
// number and the last bytes changed, so that each file is another.
void WriteFiles(const fs::path& folder) {
    const std::string whole =
        downloadtest::Join(downloadtest::CompleteDownload(cardsim::BuildDriverCard()));
    registry::TBytes bytes(whole.begin(), whole.end());
    std::string error;
    std::size_t number = 0;
    const auto records = cardfile::ReadRecords(bytes, &error);
    for (const cardfile::TRecord& record : *records) {
        if (record.Fid == 0x0520 && record.Type == cardfile::kContents) {
            number = record.Offset + cardfile::kRecordHeader + 1;
        }
    }
    fs::create_directories(folder);
    for (int i = 0; i < kFiles; ++i) {
        const std::string card = CardNumber(90000 + i % 100);
        std::memcpy(bytes.data() + number, card.data(), 16);
        std::memcpy(bytes.data() + bytes.size() - sizeof i, &i, sizeof i);
        char name[64];
        std::snprintf(name, sizeof name, "C_2025%02d%02d_%02d%02d_I_DRIVER_%s.ddd", 1 + i % 12,
                      1 + i % 28, i % 24, i % 60, card.c_str());
        std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
}

bool Measure(const char* engine, const std::string& location, const std::string& importLocation,
             const fs::path& files) {
    bool ok = true;
    {
        auto store = registry::OpenStore(location, {});
        const auto fillStart = Clock::now();
        Fill(*store);
        const double fillMs = MsSince(fillStart);
        std::size_t shown = 0;
        const double listMs =
            BestOf([&] { shown = registry::DueRegister(*store, std::time(nullptr)).size(); });
        std::size_t rows = 0;
        const double baselineMs = BestOf([&] { rows = store->Hashes().size(); });
        const bool fast = listMs < kListLimitMs && shown == kDrivers && rows == kDownloads;
        ok = ok && fast;
        std::printf("%-10s list of %zu drivers from %zu downloads: %.1f ms (limit %.0f ms), "
                    "%.2f x the baseline of reading one column of every row (%.1f ms); "
                    "filled in %.1f s  %s\n",
                    engine, shown, rows, listMs, kListLimitMs, listMs / baselineMs, baselineMs,
                    fillMs / 1000, fast ? "ok" : "TOO SLOW");
    }
    {
        auto store = registry::OpenStore(importLocation, {});
        std::size_t hashed = 0;
        const auto baselineStart = Clock::now();
        for (const auto& entry : fs::directory_iterator(files)) {
            std::ifstream in(entry.path(), std::ios::binary);
            const registry::TBytes bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
            hashed += registry::Sha256Hex(bytes).size() > 0;
        }
        const double baselineMs = MsSince(baselineStart);
        const auto start = Clock::now();
        const registry::TImportResult result = registry::Import(*store, {files.string()});
        const double importMs = MsSince(start);
        const double rate = result.Recorded / (importMs / 1000);
        const bool fast = rate >= kImportFloor && result.Recorded == kFiles;
        ok = ok && fast;
        std::printf("%-10s import of %d files: %.0f ms, %.0f files/s (floor %.0f), %.2f x the "
                    "baseline of reading and hashing them (%.0f ms, %zu files)  %s\n",
                    engine, result.Recorded, importMs, rate, kImportFloor, importMs / baselineMs,
                    baselineMs, hashed, fast ? "ok" : "TOO SLOW");
    }
    return ok;
}

} // namespace

int main() {
    char folder[] = "/tmp/dravik-bench-register-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        return 2;
    }
    const fs::path dir = folder;
    WriteFiles(dir / "files");
    bool ok = Measure("SQLite", (dir / "list.sqlite").string(), (dir / "import.sqlite").string(),
                      dir / "files");
    {
        TPostgresServer server;
        std::string error;
        if (!server.Create(&error) || !server.NewDatabase("list") ||
            !server.NewDatabase("import")) {
            std::cerr << "bench_register: no PostgreSQL server: " << error << '\n';
            fs::remove_all(dir);
            return 2;
        }
        ok = Measure("PostgreSQL", server.Url("depot", "list"), server.Url("depot", "import"),
                     dir / "files") &&
             ok;
    }
    fs::remove_all(dir);
    return ok ? 0 : 1;
}
