#include "Placement.h"

#include "archive/Archive.h"
#include "platform/Platform.h"
#include "platform/UserFolders.h"

#include <filesystem>
#include <random>

namespace fs = std::filesystem;

namespace {

std::string Utf8Of(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

bool EndsInSeparator(const std::string& path) {
    return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

std::string WithoutTrailingSeparators(std::string path) {
    while (path.size() > 1 && EndsInSeparator(path)) {
        path.pop_back();
    }
    return path;
}

} // namespace

fs::path PathOf(const std::string& utf8) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string FileErrorText(const std::string& verb, const std::string& path, int errorNumber) {
    return "cannot " + verb + " " + path + ": I/O error " + std::to_string(errorNumber) + " (" +
           archive::SystemText(errorNumber) + ")";
}

bool IsFolderArgument(const std::string& output) {
    std::error_code error;
    return EndsInSeparator(output) || fs::is_directory(PathOf(output), error);
}

TPlacement ChoosePlacement(const std::optional<std::string>& output) {
    TPlacement placement;
    if (output && !IsFolderArgument(*output)) {
        placement.File = *output;
        placement.WorkingFile = *output;
        return placement;
    }
    if (output) {
        placement.ArchiveFolder = WithoutTrailingSeparators(*output);
    } else {
        const auto setting = platform::WindowSetting("archiveFolder");
        placement.ArchiveFolder =
            setting && !setting->empty() ? *setting : platform::DocumentsFolder() + "/Dravik";
    }
    try {
        archive::MakeFolder(placement.ArchiveFolder);
        placement.WorkingFile =
            archive::WorkingFilePath(platform::ExecutableDir(), platform::AppDataFolder()).Path;
    } catch (const archive::TError& error) {
        throw std::runtime_error(
            FileErrorText("make the folder", error.Path(), error.ErrorNumber()));
    }
    return placement;
}

std::string TemporaryBeside(const std::string& file) {
    const fs::path path = PathOf(file);
    std::random_device random;
    const std::string name =
        "." + Utf8Of(path.filename()) + "." + std::to_string(random() % 1000000) + ".part";
    return Utf8Of(path.parent_path() / PathOf(name));
}

void Publish(const std::string& temporary, const std::string& file) {
    std::error_code error;
    fs::rename(PathOf(temporary), PathOf(file), error);
    if (error) {
        RemoveQuietly(temporary);
        throw std::runtime_error(FileErrorText("write", file, error.value()));
    }
}

void RemoveQuietly(const std::string& file) {
    std::error_code error;
    fs::remove(PathOf(file), error);
}
