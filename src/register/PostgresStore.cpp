// The shared register: a PostgreSQL server that every depot's PC records
// into, through libpq. Secrets and transport are libpq's own business: the
// password file or service file, sslmode in the connection text.
#include "register/Engines.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <ctime>

namespace registry {

namespace {

// kSteps[n] takes version n to n + 1; the same tables as the embedded store.
const char* const kSteps[] = {
    "CREATE TABLE downloads ("
    " id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
    " card_number TEXT NOT NULL,"
    " driver TEXT NOT NULL,"
    " generation INTEGER NOT NULL,"
    " download_time BIGINT NOT NULL,"
    " whole BOOLEAN NOT NULL,"
    " signatures TEXT NOT NULL,"
    " sha256 TEXT NOT NULL UNIQUE,"
    " file_name TEXT NOT NULL,"
    " recorded_at BIGINT NOT NULL);"
    "CREATE INDEX downloads_by_card ON downloads (card_number, download_time DESC) "
    " INCLUDE (whole, driver);"
    "CREATE TABLE download_files ("
    " download_id BIGINT PRIMARY KEY REFERENCES downloads (id),"
    " bytes BYTEA NOT NULL);"
    // The due register's rows, kept with each download: a server answers
    // the list from 5,000 rows rather than grouping 100,000 for each look.
    "CREATE TABLE drivers ("
    " card_number TEXT PRIMARY KEY,"
    " driver TEXT NOT NULL,"
    " last_download BIGINT NOT NULL,"
    " last_whole BOOLEAN NOT NULL,"
    " last_whole_download BIGINT,"
    " downloads BIGINT NOT NULL);",
};
static_assert(std::size(kSteps) == kSchemaVersion);

// Any one key of the advisory locks: two depots opening a new server at once
// create its tables once.
constexpr char kUpgradeLock[] = "SELECT pg_advisory_xact_lock(7315021)";

class TResult {
public:
    explicit TResult(PGresult* result) : Result(result) {}
    ~TResult() { PQclear(Result); }
    TResult(const TResult&) = delete;
    TResult& operator=(const TResult&) = delete;
    int Rows() const { return PQntuples(Result); }
    std::string Text(int row, int column) const {
        return std::string(PQgetvalue(Result, row, column),
                           static_cast<std::size_t>(PQgetlength(Result, row, column)));
    }
    bool Null(int row, int column) const { return PQgetisnull(Result, row, column) != 0; }
    std::int64_t Int(int row, int column) const {
        return Null(row, column) ? 0 : std::strtoll(PQgetvalue(Result, row, column), nullptr, 10);
    }
    bool Bool(int row, int column) const { return PQgetvalue(Result, row, column)[0] == 't'; }
    TBytes Bytes(int row, int column) const {
        std::size_t length = 0;
        unsigned char* bytes = PQunescapeBytea(
            reinterpret_cast<const unsigned char*>(PQgetvalue(Result, row, column)), &length);
        if (bytes == nullptr) {
            throw TStoreError("register: out of memory");
        }
        TBytes copy(bytes, bytes + length);
        PQfreemem(bytes);
        return copy;
    }

private:
    PGresult* Result;
};

// One parameter: text, or bytes sent as they are.
struct TParameter {
    std::string Text;
    const TBytes* Bytes = nullptr;
    bool Null = false;
};

class TPostgresStore : public TStore {
public:
    explicit TPostgresStore(const std::string& connection) : Shown(MaskedLocation(connection)) {
        // A server that does not answer holds the download's record at most
        // this long; a connect_timeout of the caller's own comes later and wins.
        const char* const keywords[] = {"connect_timeout", "dbname", nullptr};
        const char* const values[] = {"10", connection.c_str(), nullptr};
        Connection = PQconnectdbParams(keywords, values, 1);
        if (Connection == nullptr || PQstatus(Connection) != CONNECTION_OK) {
            const std::string why = Why();
            PQfinish(Connection);
            throw TStoreError("cannot connect to the register " + Shown + ": " + why);
        }
        // The server's notices ("relation ... already exists, skipping")
        // are not the user's business; errors come back with each result.
        PQsetNoticeProcessor(
            Connection, [](void*, const char*) {}, nullptr);
        try {
            Run([this] { Upgrade(); });
        } catch (...) {
            PQfinish(Connection);
            throw;
        }
    }
    ~TPostgresStore() override { PQfinish(Connection); }

    std::vector<TRecorded> RecordAll(const std::vector<TDownload>& downloads) override {
        std::vector<TRecorded> results;
        Run([&] {
            results.clear();
            TTransaction transaction(*this);
            const std::string now = std::to_string(std::time(nullptr));
            for (const TDownload& download : downloads) {
                TResult inserted = Query(
                    "INSERT INTO downloads (card_number, driver, generation, download_time, whole, "
                    "signatures, sha256, file_name, recorded_at) "
                    "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9) "
                    "ON CONFLICT (sha256) DO NOTHING RETURNING id",
                    {{download.CardNumber},
                     {download.Driver},
                     {std::to_string(download.Generation)},
                     {std::to_string(download.DownloadTime)},
                     {download.Whole ? "true" : "false"},
                     {VerdictWord(download.Signatures)},
                     {download.Sha256},
                     {download.FileName},
                     {now}});
                if (inserted.Rows() == 0) {
                    results.push_back(TRecorded::Duplicate);
                    continue;
                }
                Query("INSERT INTO download_files (download_id, bytes) VALUES ($1, $2)",
                      {{inserted.Text(0, 0)}, {{}, &download.Bytes}});
                // The newest download (the later one of the same time) names
                // the driver; GREATEST passes over a NULL.
                Query("INSERT INTO drivers AS o (card_number, driver, last_download, last_whole, "
                      "last_whole_download, downloads) VALUES ($1, $2, $3, $4, $5, 1) "
                      "ON CONFLICT (card_number) DO UPDATE SET "
                      "downloads = o.downloads + 1, "
                      "driver = CASE WHEN EXCLUDED.last_download >= o.last_download "
                      " THEN EXCLUDED.driver ELSE o.driver END, "
                      "last_whole = CASE WHEN EXCLUDED.last_download >= o.last_download "
                      " THEN EXCLUDED.last_whole ELSE o.last_whole END, "
                      "last_download = GREATEST(o.last_download, EXCLUDED.last_download), "
                      "last_whole_download = "
                      " GREATEST(o.last_whole_download, EXCLUDED.last_whole_download)",
                      {{download.CardNumber},
                       {download.Driver},
                       {std::to_string(download.DownloadTime)},
                       {download.Whole ? "true" : "false"},
                       {std::to_string(download.DownloadTime), nullptr, !download.Whole}});
                results.push_back(TRecorded::Recorded);
            }
            transaction.Commit();
        });
        return results;
    }

    std::vector<TDriverEntry> Drivers() override {
        std::vector<TDriverEntry> drivers;
        Run([&] {
            TResult rows = Query("SELECT card_number, driver, last_whole, last_download, "
                                 "downloads, last_whole_download FROM drivers",
                                 {});
            drivers.clear();
            drivers.reserve(static_cast<std::size_t>(rows.Rows()));
            for (int row = 0; row < rows.Rows(); ++row) {
                TDriverEntry entry;
                entry.CardNumber = rows.Text(row, 0);
                entry.Driver = rows.Text(row, 1);
                entry.LastWhole = rows.Bool(row, 2);
                entry.LastDownload = rows.Int(row, 3);
                entry.Downloads = rows.Int(row, 4);
                entry.LastWholeDownload = rows.Int(row, 5);
                drivers.push_back(std::move(entry));
            }
        });
        return drivers;
    }

    std::vector<TDownload> Files(const std::string& cardNumber, bool all) override {
        std::vector<TDownload> files;
        Run([&] {
            TResult rows = Query(std::string("SELECT card_number, driver, generation, "
                                             "download_time, whole, signatures, sha256, "
                                             "file_name, f.bytes FROM downloads d JOIN "
                                             "download_files f ON f.download_id = d.id "
                                             "WHERE card_number = $1 "
                                             "ORDER BY download_time DESC, d.id DESC") +
                                     (all ? "" : " LIMIT 1"),
                                 {{cardNumber}});
            files.clear();
            for (int row = 0; row < rows.Rows(); ++row) {
                TDownload download;
                download.CardNumber = rows.Text(row, 0);
                download.Driver = rows.Text(row, 1);
                download.Generation = static_cast<int>(rows.Int(row, 2));
                download.DownloadTime = rows.Int(row, 3);
                download.Whole = rows.Bool(row, 4);
                download.Signatures =
                    VerdictOfWord(rows.Text(row, 5)).value_or(TVerdict::NotChecked);
                download.Sha256 = rows.Text(row, 6);
                download.FileName = rows.Text(row, 7);
                download.Bytes = rows.Bytes(row, 8);
                files.push_back(std::move(download));
            }
        });
        return files;
    }

    std::set<std::string> Hashes() override { return Column("SELECT sha256 FROM downloads"); }
    std::set<std::string> FileNames() override { return Column("SELECT file_name FROM downloads"); }

    int SchemaVersion() override {
        int version = 0;
        Run([&] { version = ReadVersion(); });
        return version;
    }

    std::string Name() const override { return Shown; }

private:
    class TTransaction {
    public:
        explicit TTransaction(TPostgresStore& store) : Store(store) { Store.Query("BEGIN", {}); }
        ~TTransaction() {
            if (!Done && PQstatus(Store.Connection) == CONNECTION_OK) {
                PQclear(PQexec(Store.Connection, "ROLLBACK"));
            }
        }
        void Commit() {
            Store.Query("COMMIT", {});
            Done = true;
        }

    private:
        TPostgresStore& Store;
        bool Done = false;
    };

    std::string Why() const {
        std::string why = Connection ? PQerrorMessage(Connection) : "out of memory";
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) {
            why.pop_back();
        }
        for (char& c : why) {
            c = c == '\n' ? ' ' : c;
        }
        return why;
    }

    // Runs `work`; a connection that the server dropped (a restart, a
    // network cut) is made again once and the work done again from its start.
    template <typename F> void Run(F work) {
        if (PQstatus(Connection) != CONNECTION_OK) {
            PQreset(Connection);
        }
        try {
            work();
        } catch (const TStoreError&) {
            if (PQstatus(Connection) == CONNECTION_OK) {
                throw;
            }
            PQreset(Connection);
            if (PQstatus(Connection) != CONNECTION_OK) {
                throw TStoreError("the register " + Shown + " cannot be reached: " + Why());
            }
            work();
        }
    }

    // Runs one statement (several when it has no parameters); throws with
    // the server's text when it fails.
    TResult Query(const std::string& sql, const std::vector<TParameter>& parameters) {
        PGresult* raw = nullptr;
        if (parameters.empty()) {
            raw = PQexec(Connection, sql.c_str());
        } else {
            std::vector<const char*> values;
            std::vector<int> lengths, formats;
            for (const TParameter& parameter : parameters) {
                const bool bytes = parameter.Bytes != nullptr;
                values.push_back(parameter.Null ? nullptr
                                 : bytes ? reinterpret_cast<const char*>(parameter.Bytes->data())
                                         : parameter.Text.c_str());
                lengths.push_back(bytes ? static_cast<int>(parameter.Bytes->size()) : 0);
                formats.push_back(bytes ? 1 : 0);
            }
            raw = PQexecParams(Connection, sql.c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), lengths.data(), formats.data(), 0);
        }
        const ExecStatusType status = PQresultStatus(raw);
        if (raw == nullptr || (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)) {
            std::string why = raw != nullptr ? PQresultErrorMessage(raw) : Why();
            PQclear(raw);
            while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) {
                why.pop_back();
            }
            throw TStoreError("register " + Shown + ": " + why);
        }
        return TResult(raw);
    }

    std::set<std::string> Column(const char* sql) {
        std::set<std::string> values;
        Run([&] {
            TResult rows = Query(sql, {});
            values.clear();
            for (int row = 0; row < rows.Rows(); ++row) {
                values.insert(rows.Text(row, 0));
            }
        });
        return values;
    }

    int ReadVersion() {
        TResult rows = Query("SELECT version FROM schema_version", {});
        return rows.Rows() > 0 ? static_cast<int>(rows.Int(0, 0)) : 0;
    }

    void Upgrade() {
        TTransaction transaction(*this);
        Query(kUpgradeLock, {});
        Query("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", {});
        int version = ReadVersion();
        if (version == kSchemaVersion) {
            transaction.Commit();
            return;
        }
        if (version > kSchemaVersion) {
            throw TStoreError("the register " + Shown + " has schema version " +
                              std::to_string(version) + ", newer than this program's " +
                              std::to_string(kSchemaVersion) + ": use a newer Dravik");
        }
        for (; version < kSchemaVersion; ++version) {
            Query(kSteps[version], {});
        }
        Query("DELETE FROM schema_version", {});
        Query("INSERT INTO schema_version (version) VALUES ($1)",
              {{std::to_string(kSchemaVersion)}});
        transaction.Commit();
    }

    std::string Shown;
    PGconn* Connection = nullptr;
};

} // namespace

std::unique_ptr<TStore> OpenPostgresStore(const std::string& connection) {
    return std::make_unique<TPostgresStore>(connection);
}

} // namespace registry
