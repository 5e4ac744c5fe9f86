#include "register/Recorder.h"

#include <filesystem>

namespace registry {

TRecorder::TRecorder(std::string location, std::string archiveFolder)
    : FLocation(std::move(location)), FArchiveFolder(std::move(archiveFolder)) {}

TStore* TRecorder::Store(std::string* error) {
    if (!FStore) {
        try {
            FStore = OpenStore(FLocation, FArchiveFolder);
        } catch (const TStoreError& failure) {
            if (error != nullptr) {
                *error = failure.what();
            }
            return nullptr;
        }
    }
    return FStore.get();
}

std::string TRecorder::StoreName() const {
    if (FStore) {
        return FStore->Name();
    }
    if (!FLocation.empty()) {
        return MaskedLocation(FLocation);
    }
    return (std::filesystem::path(FArchiveFolder) / kSqliteFileName).string();
}

TRecorder::TNote TRecorder::RecordDownload(const std::string& storedPath,
                                           const TDownloadFacts& facts) {
    TNote note;
    if (!Available()) {
        note.Kind = TKind::Off;
        return note;
    }
    TStore* store = Store(&note.Error);
    if (store == nullptr) {
        FMissed = true;
        return note;
    }
    try {
        note.Kind = registry::RecordDownload(*store, storedPath, facts) == TRecorded::Recorded
                        ? TKind::Recorded
                        : TKind::Duplicate;
    } catch (const TStoreError& failure) {
        note.Error = failure.what();
        // Opened again for the next download: a server may be back by then.
        FStore.reset();
        FMissed = true;
        return note;
    }
    if (FMissed) {
        note.CaughtUp = CatchUp().CaughtUp;
    }
    return note;
}

namespace {

// Whether the archive folder holds a card download file.
bool HoldsDownloads(const std::string& folder) {
    std::error_code error;
    const std::filesystem::path path(
        std::u8string(reinterpret_cast<const char8_t*>(folder.data()), folder.size()));
    for (std::filesystem::directory_iterator it(path, error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().extension() == ".ddd") {
            return true;
        }
    }
    return false;
}

} // namespace

TRecorder::TNote TRecorder::CatchUp() {
    TNote note;
    note.Kind = TKind::Duplicate;
    // The embedded register is made by the first download it records, not
    // by a start that has nothing to record.
    if (!Available()) {
        note.Kind = TKind::Off;
        return note;
    }
    if (!FStore && FLocation.empty() && !HoldsDownloads(FArchiveFolder)) {
        return note;
    }
    TStore* store = Store(&note.Error);
    if (store == nullptr || FArchiveFolder.empty()) {
        note.Kind = store == nullptr ? TKind::Failed : TKind::Duplicate;
        return note;
    }
    try {
        note.CaughtUp = registry::CatchUp(*store, FArchiveFolder).Recorded;
        note.Kind = note.CaughtUp > 0 ? TKind::Recorded : TKind::Duplicate;
        FMissed = false;
    } catch (const TStoreError& failure) {
        note.Error = failure.what();
        FStore.reset();
        FMissed = true;
    }
    return note;
}

std::string TRecorder::EnglishLine(const TNote& note, const std::string& storedPath,
                                   const std::string& storeName) {
    std::string line;
    switch (note.Kind) {
    case TKind::Recorded:
        line = "Register: recorded in " + storeName;
        break;
    case TKind::Duplicate:
        line = "Register: recorded before in " + storeName;
        break;
    case TKind::Off:
        return "Register: not kept by this build";
    case TKind::Failed:
        return "Register: NOT recorded (" + note.Error + "); the download is kept in " +
               storedPath + " and is recorded at the next start or by dravik-archive import";
    }
    if (note.CaughtUp > 0) {
        line += ", with " + std::to_string(note.CaughtUp) + " earlier download" +
                (note.CaughtUp == 1 ? "" : "s") + " it had missed";
    }
    return line;
}

} // namespace registry
