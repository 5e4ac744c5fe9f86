// main() for tests that need a QApplication; they run on the offscreen platform.
// Each run gets a home of its own: the window's settings, its documents folder
// (where the archive goes) and its data folder never touch the user's.
#include "main/MainForm.h"

#include <QApplication>
#include <QSettings>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

// Every test starts from a first run: no language or folder chosen before.
class TFreshSettings : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { QSettings().clear(); }
};

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // A folder nobody else holds: create_directory says whether it was new.
    std::string home;
    std::random_device random;
    for (int attempt = 0; attempt < 100 && home.empty(); ++attempt) {
        const auto candidate =
            std::filesystem::temp_directory_path() / ("dravik-home-" + std::to_string(random()));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            home = candidate.string();
        }
    }
    if (home.empty()) {
        return 2;
    }
    qputenv("HOME", home.c_str());
    qputenv("XDG_CONFIG_HOME", (home + "/.config").c_str());
    qputenv("XDG_DATA_HOME", (home + "/.local/share").c_str());
    int status = 0;
    {
        QApplication application(argc, argv);
        SetApplicationNames();
        ::testing::InitGoogleTest(&argc, argv);
        ::testing::UnitTest::GetInstance()->listeners().Append(new TFreshSettings);
        status = RUN_ALL_TESTS();
    }
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return status;
}
