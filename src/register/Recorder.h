// The register as the download sees it: every archived download recorded
// right after it is filed, and a store that cannot be reached noted without
// losing the download (the file stays in the archive folder, and the next
// record or start adds what was missed).
#pragma once

#include "register/Register.h"

namespace registry {

class TRecorder {
public:
    // `location` as OpenStore takes it; empty: dravik.sqlite in `archiveFolder`.
    TRecorder(std::string location, std::string archiveFolder);

    // Off: this build has no engine for the store, and nothing is recorded.
    enum class TKind { Recorded, Duplicate, Failed, Off };
    struct TNote {
        TKind Kind = TKind::Failed;
        std::string Error; // why it failed, without a password
        // Downloads of the archive folder recorded with it, missed before.
        int CaughtUp = 0;
    };

    // Records the download just archived as `storedPath`; opens the store
    // when it is not open (again, after a failure).
    TNote RecordDownload(const std::string& storedPath, const TDownloadFacts& facts);
    // Adds the archive folder's downloads that the store does not hold.
    TNote CatchUp();
    // The store, opened on demand; null with `error` set when it cannot be.
    TStore* Store(std::string* error = nullptr);
    // The store's name for messages: the file or the masked URL.
    std::string StoreName() const;
    const std::string& ArchiveFolder() const { return FArchiveFolder; }
    // Whether this build can record in the store at all.
    bool Available() const { return IsServerLocation(FLocation) || EmbeddedStoreAvailable(); }

    // The log's line in English for a note of RecordDownload.
    static std::string EnglishLine(const TNote& note, const std::string& storedPath,
                                   const std::string& storeName);

private:
    std::string FLocation;
    std::string FArchiveFolder;
    std::unique_ptr<TStore> FStore;
    // A record failed since the last catch-up.
    bool FMissed = false;
};

} // namespace registry
