// The office register of downloads: every driver card's downloads, the last
// whole one and the next one due, kept in a store that one PC embeds (SQLite
// in the archive folder) or that every depot shares (a PostgreSQL server).
// Plain C++ without Qt. Only this folder speaks SQL; the rest of the program
// sees the store through TStore.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace registry {

using TBytes = std::vector<std::uint8_t>;
// Seconds since 1970-01-01 00:00 UTC.
using TTime = std::int64_t;

// The law's longest time between two downloads of a driver card, and how
// early a download shows as due soon.
constexpr TTime kDuePeriod = 28 * 86400;
constexpr TTime kDueSoon = 7 * 86400;

// The embedded store's file in the archive folder.
constexpr char kSqliteFileName[] = "dravik.sqlite";

// The schema this program writes; an older one is upgraded on opening.
constexpr int kSchemaVersion = 1;

// The signature verdict of a download, as dravik-download's account says it.
enum class TVerdict { Valid, NotValid, NotChecked, NotSigned };
const char* VerdictWord(TVerdict verdict);
std::optional<TVerdict> VerdictOfWord(const std::string& word);

// One download: one row of the register.
struct TDownload {
    std::string CardNumber; // UTF-8, without blanks at either end
    std::string Driver;     // initial + "_" + surname, UTF-8, as the download name has it
    int Generation = 1;
    TTime DownloadTime = 0;
    bool Whole = false;
    TVerdict Signatures = TVerdict::NotChecked;
    std::string Sha256;   // of Bytes, 64 lower-case hex digits
    std::string FileName; // the download name's file name in the archive
    TBytes Bytes;         // the card download file, byte for byte
};

enum class TRecorded { Recorded, Duplicate };

// One line of the due register: a driver card and its downloads.
struct TDriverEntry {
    std::string CardNumber;
    std::string Driver; // of the newest download
    TTime LastDownload = 0;
    // The newest whole download; 0 when the card was never downloaded whole.
    TTime LastWholeDownload = 0;
    bool LastWhole = false; // the newest download is whole
    long long Downloads = 0;
};

enum class TStatus { Ok, DueSoon, Overdue };
// The last whole download plus 28 days; a card never downloaded whole was
// due at its first download already, so its last download stands for it.
TTime DueTime(const TDriverEntry& entry);
TStatus StatusAt(const TDriverEntry& entry, TTime now);
// "ok", "due-soon", "overdue".
const char* StatusWord(TStatus status);

// A store that cannot be opened, read or written. what() never holds a
// password: connection texts are masked before they get here.
class TStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TStore {
public:
    virtual ~TStore() = default;
    // Adds the downloads in one transaction, all or none; a download with the
    // SHA-256 of one recorded before is not added again. Throws TStoreError.
    virtual std::vector<TRecorded> RecordAll(const std::vector<TDownload>& downloads) = 0;
    TRecorded Record(const TDownload& download) { return RecordAll({download}).front(); }
    // Every driver card once, in no particular order (DueRegister sorts).
    virtual std::vector<TDriverEntry> Drivers() = 0;
    // The card's downloads, newest first, bytes included: only the newest
    // unless `all`.
    virtual std::vector<TDownload> Files(const std::string& cardNumber, bool all) = 0;
    // The SHA-256 of every download recorded.
    virtual std::set<std::string> Hashes() = 0;
    // The archive file name of every download recorded.
    virtual std::set<std::string> FileNames() = 0;
    virtual int SchemaVersion() = 0;
    // What the store is, for messages: the file, or the URL without a password.
    virtual std::string Name() const = 0;
};

// Opens the store `location` names: a postgresql:// or postgres:// URL, a
// libpq "service=NAME" or a SQLite file path; empty: dravik.sqlite in
// `archiveFolder`. The SQLite file and its folder are made readable by their
// owner only. Creates or upgrades the schema. Throws TStoreError.
std::unique_ptr<TStore> OpenStore(const std::string& location, const std::string& archiveFolder);

// Whether this build has the embedded engine (a Windows build without SQLite
// has not: its downloads stay in the archive folder alone).
bool EmbeddedStoreAvailable();

// Whether `location` names a PostgreSQL server rather than a file.
bool IsServerLocation(const std::string& location);
// `location` fit to be shown or logged: the password in a URL or a
// "password=" setting replaced by "***".
std::string MaskedLocation(const std::string& location);
// Whether `location` carries a password, which the window's settings never
// keep (libpq's password file or service file holds it instead).
bool HasPassword(const std::string& location);

// The due register: every driver card with its status at `now`, the latest
// due date first; with `withinDays`, only the cards due by then (overdue
// ones included).
struct TDueEntry {
    TDriverEntry Entry;
    TTime Due = 0;
    TStatus Status = TStatus::Ok;
};
std::vector<TDueEntry> DueRegister(TStore& store, TTime now,
                                   std::optional<int> withinDays = std::nullopt);

// ------------------------------------------------ downloads from files

// The SHA-256 of `bytes` as 64 lower-case hex digits.
std::string Sha256Hex(const TBytes& bytes);

// The card and its holder as a card download file's EF Identification (0520)
// says them; nullopt for a file that is not a driver card's download. Kept
// small on purpose: the decoded card model takes its place when it can.
struct TFileIdentity {
    std::string CardNumber;
    std::string Driver;
    int Generation = 1;
};
std::optional<TFileIdentity> IdentityFromDownloadFile(const TBytes& bytes);

// The download time in a download name "C_YYYYMMDD_HHMM_...", local time;
// nullopt when the name has none.
std::optional<TTime> TimeFromDownloadName(const std::string& fileName);

// The archived download `storedPath` as it was just written, with the facts
// the download knows; reads the file back for its bytes and SHA-256.
struct TDownloadFacts {
    std::string CardNumber;
    std::string Driver;
    int Generation = 1;
    bool Whole = false;
    TVerdict Signatures = TVerdict::NotChecked;
    TTime DownloadTime = 0;
};
// Records it in `store`. Throws TStoreError (also when the file cannot be
// read back: the record is then added by the next scan).
TRecorded RecordDownload(TStore& store, const std::string& storedPath, const TDownloadFacts& facts);

// What an import or a scan did, file by file.
struct TImportResult {
    int Recorded = 0;
    int Duplicates = 0;
    // "<path>: <why>" of each file that is not a driver card's download or
    // cannot be read.
    std::vector<std::string> Skipped;
};
// Adds every card download file under `paths` (files, or folders searched
// for *.ddd files) that the store does not hold. The signatures of an
// imported file are "not checked". Throws TStoreError when the store fails.
TImportResult Import(TStore& store, const std::vector<std::string>& paths);
// The archive folder's downloads that the store does not hold yet (a store
// that could not be reached when they were made), added.
TImportResult CatchUp(TStore& store, const std::string& archiveFolder);

// ------------------------------------------------ platform (RegisterPosix/Windows.cpp)

// Creates `path` empty, readable and writable by its owner only, unless it
// exists; the folder is made and kept for its owner only too. Throws
// TStoreError.
void PrepareOwnerOnlyFile(const std::string& path);

} // namespace registry
