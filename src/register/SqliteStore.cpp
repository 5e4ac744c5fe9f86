// The embedded register: one SQLite file in the archive folder.
#include "register/Engines.h"

#include <sqlite3.h>

#include <ctime>

namespace registry {

namespace {

// Schema steps: kSteps[n] takes version n to n + 1. The files' bytes live in
// a table of their own, so that the due register never reads past them.
const char* const kSteps[] = {
    "CREATE TABLE downloads ("
    " id INTEGER PRIMARY KEY,"
    " card_number TEXT NOT NULL,"
    " driver TEXT NOT NULL,"
    " generation INTEGER NOT NULL,"
    " download_time INTEGER NOT NULL,"
    " whole INTEGER NOT NULL,"
    " signatures TEXT NOT NULL,"
    " sha256 TEXT NOT NULL UNIQUE,"
    " file_name TEXT NOT NULL,"
    " recorded_at INTEGER NOT NULL);"
    "CREATE INDEX downloads_by_card ON downloads (card_number, download_time, whole, driver);"
    "CREATE TABLE download_files ("
    " download_id INTEGER PRIMARY KEY REFERENCES downloads (id),"
    " bytes BLOB NOT NULL);",
};
static_assert(std::size(kSteps) == kSchemaVersion);

class TStatement {
public:
    TStatement(sqlite3* db, const char* sql) : Db(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &Statement, nullptr) != SQLITE_OK) {
            throw TStoreError(std::string("register: ") + sqlite3_errmsg(db));
        }
    }
    ~TStatement() { sqlite3_finalize(Statement); }
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;

    TStatement& Bind(int index, const std::string& text) {
        Check(sqlite3_bind_text(Statement, index, text.data(), static_cast<int>(text.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    TStatement& Bind(int index, std::int64_t value) {
        Check(sqlite3_bind_int64(Statement, index, value));
        return *this;
    }
    TStatement& Bind(int index, const TBytes& bytes) {
        Check(sqlite3_bind_blob64(Statement, index, bytes.data(), bytes.size(), SQLITE_STATIC));
        return *this;
    }
    // True while there is a row.
    bool Step() {
        const int result = sqlite3_step(Statement);
        if (result == SQLITE_ROW) {
            return true;
        }
        if (result != SQLITE_DONE) {
            throw TStoreError(std::string("register: ") + sqlite3_errmsg(Db));
        }
        return false;
    }
    void Reset() {
        sqlite3_reset(Statement);
        sqlite3_clear_bindings(Statement);
    }
    std::string Text(int column) const {
        const auto* text = sqlite3_column_text(Statement, column);
        return text ? std::string(reinterpret_cast<const char*>(text),
                                  static_cast<std::size_t>(sqlite3_column_bytes(Statement, column)))
                    : std::string();
    }
    std::int64_t Int(int column) const { return sqlite3_column_int64(Statement, column); }
    TBytes Blob(int column) const {
        const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(Statement, column));
        return data ? TBytes(data, data + sqlite3_column_bytes(Statement, column)) : TBytes();
    }

private:
    void Check(int result) {
        if (result != SQLITE_OK) {
            throw TStoreError(std::string("register: ") + sqlite3_errmsg(Db));
        }
    }
    sqlite3* Db;
    sqlite3_stmt* Statement = nullptr;
};

class TSqliteStore : public TStore {
public:
    explicit TSqliteStore(const std::string& path) : Path(path) {
        if (sqlite3_open_v2(path.c_str(), &Db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            const std::string why = Db ? sqlite3_errmsg(Db) : "out of memory";
            sqlite3_close(Db);
            throw TStoreError("cannot open the register " + path + ": " + why);
        }
        // Another program (the window and dravik-download at once) may hold
        // the file for a moment.
        sqlite3_busy_timeout(Db, 10000);
        try {
            Execute("PRAGMA foreign_keys = ON");
            Upgrade();
        } catch (...) {
            sqlite3_close(Db);
            throw;
        }
    }
    ~TSqliteStore() override { sqlite3_close(Db); }

    std::vector<TRecorded> RecordAll(const std::vector<TDownload>& downloads) override {
        std::vector<TRecorded> results;
        TTransaction transaction(*this);
        TStatement insert(Db, "INSERT INTO downloads (card_number, driver, generation, "
                              "download_time, whole, signatures, sha256, file_name, recorded_at) "
                              "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) "
                              "ON CONFLICT (sha256) DO NOTHING");
        TStatement bytes(Db, "INSERT INTO download_files (download_id, bytes) VALUES (?, ?)");
        const std::int64_t now = std::time(nullptr);
        for (const TDownload& download : downloads) {
            insert.Bind(1, download.CardNumber)
                .Bind(2, download.Driver)
                .Bind(3, std::int64_t{download.Generation})
                .Bind(4, download.DownloadTime)
                .Bind(5, std::int64_t{download.Whole ? 1 : 0})
                .Bind(6, std::string(VerdictWord(download.Signatures)))
                .Bind(7, download.Sha256)
                .Bind(8, download.FileName)
                .Bind(9, now);
            insert.Step();
            insert.Reset();
            if (sqlite3_changes(Db) == 0) {
                results.push_back(TRecorded::Duplicate);
                continue;
            }
            bytes.Bind(1, std::int64_t{sqlite3_last_insert_rowid(Db)}).Bind(2, download.Bytes);
            bytes.Step();
            bytes.Reset();
            results.push_back(TRecorded::Recorded);
        }
        transaction.Commit();
        return results;
    }

    std::vector<TDriverEntry> Drivers() override {
        // The counts in one pass over the index; the newest download's
        // driver and whole flag from it, once per card.
        TStatement select(
            Db, "SELECT a.card_number, d.driver, d.whole, a.last, a.count, a.last_whole FROM "
                "(SELECT card_number, MAX(download_time) AS last, COUNT(*) AS count, "
                " MAX(CASE WHEN whole THEN download_time END) AS last_whole "
                " FROM downloads GROUP BY card_number) a "
                "JOIN downloads d ON d.id = (SELECT id FROM downloads x "
                " WHERE x.card_number = a.card_number ORDER BY download_time DESC, id DESC "
                " LIMIT 1)");
        std::vector<TDriverEntry> drivers;
        while (select.Step()) {
            TDriverEntry entry;
            entry.CardNumber = select.Text(0);
            entry.Driver = select.Text(1);
            entry.LastWhole = select.Int(2) != 0;
            entry.LastDownload = select.Int(3);
            entry.Downloads = select.Int(4);
            entry.LastWholeDownload = select.Int(5);
            drivers.push_back(std::move(entry));
        }
        return drivers;
    }

    std::vector<TDownload> Files(const std::string& cardNumber, bool all) override {
        const std::string sql =
            std::string("SELECT card_number, driver, generation, download_time, whole, "
                        "signatures, sha256, file_name, f.bytes FROM downloads d "
                        "JOIN download_files f ON f.download_id = d.id WHERE card_number = ? "
                        "ORDER BY download_time DESC, d.id DESC") +
            (all ? "" : " LIMIT 1");
        TStatement select(Db, sql.c_str());
        select.Bind(1, cardNumber);
        std::vector<TDownload> files;
        while (select.Step()) {
            TDownload download;
            download.CardNumber = select.Text(0);
            download.Driver = select.Text(1);
            download.Generation = static_cast<int>(select.Int(2));
            download.DownloadTime = select.Int(3);
            download.Whole = select.Int(4) != 0;
            download.Signatures = VerdictOfWord(select.Text(5)).value_or(TVerdict::NotChecked);
            download.Sha256 = select.Text(6);
            download.FileName = select.Text(7);
            download.Bytes = select.Blob(8);
            files.push_back(std::move(download));
        }
        return files;
    }

    std::set<std::string> Hashes() override { return Column("SELECT sha256 FROM downloads"); }
    std::set<std::string> FileNames() override { return Column("SELECT file_name FROM downloads"); }

    int SchemaVersion() override {
        TStatement select(Db, "SELECT version FROM schema_version");
        return select.Step() ? static_cast<int>(select.Int(0)) : 0;
    }

    std::string Name() const override { return Path; }

private:
    // Rolled back unless committed.
    class TTransaction {
    public:
        explicit TTransaction(TSqliteStore& store) : Store(store) {
            // IMMEDIATE: the write lock at once, so that two writers wait
            // for each other instead of failing at the first write.
            Store.Execute("BEGIN IMMEDIATE");
        }
        ~TTransaction() {
            if (!Done) {
                sqlite3_exec(Store.Db, "ROLLBACK", nullptr, nullptr, nullptr);
            }
        }
        void Commit() {
            Store.Execute("COMMIT");
            Done = true;
        }

    private:
        TSqliteStore& Store;
        bool Done = false;
    };

    void Execute(const char* sql) {
        char* message = nullptr;
        if (sqlite3_exec(Db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string why = message ? message : sqlite3_errmsg(Db);
            sqlite3_free(message);
            throw TStoreError("register " + Path + ": " + why);
        }
    }

    std::set<std::string> Column(const char* sql) {
        TStatement select(Db, sql);
        std::set<std::string> values;
        while (select.Step()) {
            values.insert(select.Text(0));
        }
        return values;
    }

    void Upgrade() {
        TTransaction transaction(*this);
        Execute("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        int version = SchemaVersion();
        if (version > kSchemaVersion) {
            throw TStoreError("the register " + Path + " has schema version " +
                              std::to_string(version) + ", newer than this program's " +
                              std::to_string(kSchemaVersion) + ": use a newer Dravik");
        }
        if (version == kSchemaVersion) {
            return;
        }
        for (; version < kSchemaVersion; ++version) {
            Execute(kSteps[version]);
        }
        Execute("DELETE FROM schema_version");
        TStatement set(Db, "INSERT INTO schema_version (version) VALUES (?)");
        set.Bind(1, std::int64_t{kSchemaVersion}).Step();
        set.Reset();
        transaction.Commit();
    }

    std::string Path;
    sqlite3* Db = nullptr;
};

} // namespace

bool EmbeddedStoreAvailable() {
    return true;
}

std::unique_ptr<TStore> OpenSqliteStore(const std::string& path) {
    return std::make_unique<TSqliteStore>(path);
}

} // namespace registry
