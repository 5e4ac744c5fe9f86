#include "register/Register.h"

#include "cardfile/CardFile.h"
#include "crypto/Crypto.h"
#include "platform/Platform.h"
#include "register/Engines.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace registry {

namespace {

fs::path PathOf(const std::string& utf8) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string Utf8Of(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::optional<TBytes> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    TBytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

bool IsDownloadFile(const fs::path& path) {
    std::string extension = Utf8Of(path.extension());
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".ddd";
}

bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

std::string Trimmed(const std::string& text) {
    const auto first = std::find_if_not(text.begin(), text.end(), IsBlankOrControl);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), IsBlankOrControl).base();
    return first < last ? std::string(first, last) : std::string();
}

TTime ModificationTime(const fs::path& path) {
    std::error_code error;
    const auto stamp = fs::last_write_time(path, error);
    if (error) {
        return std::time(nullptr);
    }
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::file_clock::to_sys(stamp).time_since_epoch())
        .count();
}

// The part of a connection text that holds the password, to be masked:
// [begin, end) in `location`, or nothing.
std::optional<std::pair<std::size_t, std::size_t>> PasswordSpan(const std::string& location,
                                                                std::size_t from) {
    const std::size_t scheme = location.find("://");
    if (from == 0 && scheme != std::string::npos) {
        const std::size_t authority = scheme + 3;
        const std::size_t end = location.find_first_of("/?", authority);
        const std::size_t at =
            location.rfind('@', end == std::string::npos ? location.size() : end);
        if (at != std::string::npos && at >= authority) {
            const std::size_t colon = location.find(':', authority);
            if (colon != std::string::npos && colon < at) {
                return std::make_pair(colon + 1, at);
            }
        }
    }
    // "password=..." as a URL parameter or a keyword setting.
    for (std::size_t at = location.find("password", from); at != std::string::npos;
         at = location.find("password", at + 1)) {
        const bool starts = at == 0 || location[at - 1] == '?' || location[at - 1] == '&' ||
                            location[at - 1] == ' ';
        std::size_t equals = at + 8;
        while (equals < location.size() && location[equals] == ' ') {
            ++equals;
        }
        if (!starts || equals >= location.size() || location[equals] != '=') {
            continue;
        }
        std::size_t begin = equals + 1;
        while (begin < location.size() && location[begin] == ' ') {
            ++begin;
        }
        std::size_t end = begin;
        if (begin < location.size() && location[begin] == '\'') {
            end = begin + 1;
            while (end < location.size() && location[end] != '\'') {
                end += location[end] == '\\' ? 2 : 1;
            }
            end = std::min(location.size(), end + 1);
        } else {
            end = location.find_first_of(scheme != std::string::npos ? "&" : " ", begin);
            end = end == std::string::npos ? location.size() : end;
        }
        return std::make_pair(begin, end);
    }
    return std::nullopt;
}

} // namespace

const char* VerdictWord(TVerdict verdict) {
    switch (verdict) {
    case TVerdict::Valid:
        return "valid";
    case TVerdict::NotValid:
        return "not valid";
    case TVerdict::NotSigned:
        return "not signed";
    case TVerdict::NotChecked:
        break;
    }
    return "not checked";
}

std::optional<TVerdict> VerdictOfWord(const std::string& word) {
    for (TVerdict verdict :
         {TVerdict::Valid, TVerdict::NotValid, TVerdict::NotChecked, TVerdict::NotSigned}) {
        if (word == VerdictWord(verdict)) {
            return verdict;
        }
    }
    return std::nullopt;
}

TTime DueTime(const TDriverEntry& entry) {
    return entry.LastWholeDownload != 0 ? entry.LastWholeDownload + kDuePeriod : entry.LastDownload;
}

TStatus StatusAt(const TDriverEntry& entry, TTime now) {
    const TTime due = DueTime(entry);
    if (due < now) {
        return TStatus::Overdue;
    }
    return due - now <= kDueSoon ? TStatus::DueSoon : TStatus::Ok;
}

const char* StatusWord(TStatus status) {
    switch (status) {
    case TStatus::DueSoon:
        return "due-soon";
    case TStatus::Overdue:
        return "overdue";
    case TStatus::Ok:
        break;
    }
    return "ok";
}

bool IsServerLocation(const std::string& location) {
    if (StartsWith(location, "postgresql://") || StartsWith(location, "postgres://")) {
        return true;
    }
    // libpq's "keyword=value ..." form: a keyword of small letters first.
    const std::size_t equals = location.find_first_not_of("abcdefghijklmnopqrstuvwxyz_");
    return equals != std::string::npos && equals > 0 &&
           location.find_first_not_of(' ', equals) != std::string::npos &&
           location[location.find_first_not_of(' ', equals)] == '=';
}

std::string MaskedLocation(const std::string& location) {
    std::string masked = location;
    std::size_t from = 0;
    while (const auto span = PasswordSpan(masked, from)) {
        masked.replace(span->first, span->second - span->first, "***");
        from = span->first + 3;
    }
    return masked;
}

bool HasPassword(const std::string& location) {
    return IsServerLocation(location) && PasswordSpan(location, 0).has_value();
}

std::unique_ptr<TStore> OpenStore(const std::string& location, const std::string& archiveFolder) {
    if (IsServerLocation(location)) {
        return OpenPostgresStore(location);
    }
    std::string path = location;
    if (path.empty()) {
        if (archiveFolder.empty()) {
            throw TStoreError("no register: neither a store nor an archive folder is set");
        }
        path = Utf8Of(PathOf(archiveFolder) / kSqliteFileName);
    }
    PrepareOwnerOnlyFile(path);
    return OpenSqliteStore(path);
}

std::vector<TDueEntry> DueRegister(TStore& store, TTime now, std::optional<int> withinDays) {
    std::vector<TDueEntry> entries;
    for (TDriverEntry& driver : store.Drivers()) {
        TDueEntry entry;
        entry.Due = DueTime(driver);
        entry.Status = StatusAt(driver, now);
        entry.Entry = std::move(driver);
        if (!withinDays || entry.Due <= now + static_cast<TTime>(*withinDays) * 86400) {
            entries.push_back(std::move(entry));
        }
    }
    std::sort(entries.begin(), entries.end(), [](const TDueEntry& a, const TDueEntry& b) {
        return a.Due != b.Due ? a.Due > b.Due : a.Entry.CardNumber < b.Entry.CardNumber;
    });
    return entries;
}

std::string Sha256Hex(const TBytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    const auto digest = crypto::Sha256(bytes);
    std::string text;
    text.reserve(64);
    for (const std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::optional<TFileIdentity> IdentityFromDownloadFile(const TBytes& bytes) {
    std::string error;
    const auto records = cardfile::ReadRecords(bytes, &error);
    if (!records) {
        return std::nullopt;
    }
    const cardfile::TRecord* identification = nullptr;
    TFileIdentity identity;
    for (const cardfile::TRecord& record : *records) {
        if (record.Type == cardfile::kContentsG2 || record.Type == cardfile::kSignatureG2) {
            identity.Generation = 2;
        }
        // EF Application_Identification: typeOfTachographCardId 1 is a driver card.
        if (record.Fid == 0x0501 && record.Type == cardfile::kContents &&
            (record.Data.empty() || record.Data[0] != 1)) {
            return std::nullopt;
        }
        if (record.Fid == 0x0520 && record.Type == cardfile::kContents && !identification) {
            identification = &record;
        }
    }
    // CardIdentification (65 bytes), then DriverCardHolderIdentification:
    // holderSurname and holderFirstNames (a code-page byte and 35 bytes
    // each), the birth date and the preferred language.
    constexpr std::size_t kCardNumber = 1, kSurname = 65, kFirstNames = 101, kLength = 143;
    if (identification == nullptr || identification->Data.size() < kLength) {
        return std::nullopt;
    }
    const std::string data(identification->Data.begin(), identification->Data.end());
    const std::string number = data.substr(kCardNumber, 16);
    if (!std::any_of(number.begin(), number.end(),
                     [](char c) { return static_cast<unsigned char>(c) > 0x20; })) {
        return std::nullopt;
    }
    identity.CardNumber = Trimmed(platform::Iso8859ToUtf8(number, 1));
    const std::string surname = Trimmed(data.substr(kSurname + 1, 35));
    const std::string initial = data.substr(kFirstNames + 1, 1);
    identity.Driver =
        platform::Iso8859ToUtf8(initial, static_cast<unsigned char>(data[kFirstNames])) + "_" +
        platform::Iso8859ToUtf8(surname, static_cast<unsigned char>(data[kSurname]));
    return identity;
}

std::optional<TTime> TimeFromDownloadName(const std::string& fileName) {
    // C_YYYYMMDD_HHMM_
    if (fileName.size() < 16 || fileName.compare(0, 2, "C_") != 0 || fileName[10] != '_' ||
        fileName[15] != '_') {
        return std::nullopt;
    }
    int digits[12];
    for (std::size_t i = 0, at = 2; i < 12; ++i, ++at) {
        if (at == 10) {
            ++at;
        }
        if (!std::isdigit(static_cast<unsigned char>(fileName[at]))) {
            return std::nullopt;
        }
        digits[i] = fileName[at] - '0';
    }
    std::tm local{};
    local.tm_year = digits[0] * 1000 + digits[1] * 100 + digits[2] * 10 + digits[3] - 1900;
    local.tm_mon = digits[4] * 10 + digits[5] - 1;
    local.tm_mday = digits[6] * 10 + digits[7];
    local.tm_hour = digits[8] * 10 + digits[9];
    local.tm_min = digits[10] * 10 + digits[11];
    local.tm_isdst = -1;
    if (local.tm_mon < 0 || local.tm_mon > 11 || local.tm_mday < 1 || local.tm_mday > 31 ||
        local.tm_hour > 23 || local.tm_min > 59) {
        return std::nullopt;
    }
    const std::time_t time = std::mktime(&local);
    if (time == static_cast<std::time_t>(-1)) {
        return std::nullopt;
    }
    return static_cast<TTime>(time);
}

TRecorded RecordDownload(TStore& store, const std::string& storedPath,
                         const TDownloadFacts& facts) {
    auto bytes = ReadBytes(PathOf(storedPath));
    if (!bytes) {
        throw TStoreError("cannot read back " + storedPath);
    }
    TDownload download;
    download.CardNumber = Trimmed(facts.CardNumber);
    download.Driver = facts.Driver;
    download.Generation = facts.Generation;
    download.DownloadTime = facts.DownloadTime != 0 ? facts.DownloadTime : std::time(nullptr);
    download.Whole = facts.Whole;
    download.Signatures = facts.Signatures;
    download.Sha256 = Sha256Hex(*bytes);
    download.FileName = Utf8Of(PathOf(storedPath).filename());
    download.Bytes = std::move(*bytes);
    return store.Record(download);
}

namespace {

// Collects the card download files under `paths`, in name order per folder.
std::vector<fs::path> DownloadFilesUnder(const std::vector<std::string>& paths,
                                         std::vector<std::string>& skipped) {
    std::vector<fs::path> files;
    for (const std::string& path : paths) {
        std::error_code error;
        const fs::path root = PathOf(path);
        if (fs::is_directory(root, error)) {
            std::vector<fs::path> found;
            for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
                 it.increment(error)) {
                if (it->is_regular_file(error) && IsDownloadFile(it->path())) {
                    found.push_back(it->path());
                }
            }
            if (error) {
                skipped.push_back(path + ": " + error.message());
            }
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else if (fs::is_regular_file(root, error)) {
            files.push_back(root);
        } else {
            skipped.push_back(path + ": no such file or folder");
        }
    }
    return files;
}

// Adds `files`, a few in each transaction: a file's own transaction would
// wait for the disk once per file.
TImportResult AddFiles(TStore& store, const std::vector<fs::path>& files,
                       std::vector<std::string> skipped) {
    constexpr std::size_t kBatch = 64;
    TImportResult result;
    result.Skipped = std::move(skipped);
    const std::set<std::string> known = store.Hashes();
    std::set<std::string> seen;
    std::vector<TDownload> batch;
    auto flush = [&] {
        if (batch.empty()) {
            return;
        }
        for (const TRecorded recorded : store.RecordAll(batch)) {
            (recorded == TRecorded::Recorded ? result.Recorded : result.Duplicates) += 1;
        }
        batch.clear();
    };
    for (const fs::path& file : files) {
        const std::string name = Utf8Of(file);
        auto bytes = ReadBytes(file);
        if (!bytes) {
            result.Skipped.push_back(name + ": cannot be read");
            continue;
        }
        const auto identity = IdentityFromDownloadFile(*bytes);
        if (!identity) {
            result.Skipped.push_back(name + ": not a driver card's download");
            continue;
        }
        TDownload download;
        download.Sha256 = Sha256Hex(*bytes);
        if (known.count(download.Sha256) != 0 || !seen.insert(download.Sha256).second) {
            ++result.Duplicates;
            continue;
        }
        download.CardNumber = identity->CardNumber;
        download.Driver = identity->Driver;
        download.Generation = identity->Generation;
        download.FileName = Utf8Of(file.filename());
        download.DownloadTime =
            TimeFromDownloadName(download.FileName).value_or(ModificationTime(file));
        download.Whole = download.FileName.find("_nepotpuno") == std::string::npos;
        download.Bytes = std::move(*bytes);
        batch.push_back(std::move(download));
        if (batch.size() == kBatch) {
            flush();
        }
    }
    flush();
    return result;
}

} // namespace

TImportResult Import(TStore& store, const std::vector<std::string>& paths) {
    std::vector<std::string> skipped;
    const std::vector<fs::path> files = DownloadFilesUnder(paths, skipped);
    return AddFiles(store, files, std::move(skipped));
}

TImportResult CatchUp(TStore& store, const std::string& archiveFolder) {
    // Only files under a name the store does not know are read: a start
    // must not read years of downloads again.
    const std::set<std::string> names = store.FileNames();
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::directory_iterator it(PathOf(archiveFolder), error), end; !error && it != end;
         it.increment(error)) {
        const fs::path& path = it->path();
        if (IsDownloadFile(path) && names.count(Utf8Of(path.filename())) == 0 &&
            it->is_regular_file(error)) {
            files.push_back(path);
        }
    }
    std::sort(files.begin(), files.end());
    return AddFiles(store, files, {});
}

} // namespace registry
