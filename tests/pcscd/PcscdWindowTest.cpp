// The window against the real pcsc-lite and pcscd with vpcd's two virtual readers.
#include "Pcscd.h"
#include "WindowTestUtil.h"
#include "main/MainForm.h"
#include "ui_MainForm.h"
#include "vpcd/VpcdCard.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using windowtest::ProcessUntil;

namespace {

const QString kReader0 = QStringLiteral("Virtual PCD 00 00");
const QString kReader1 = QStringLiteral("Virtual PCD 00 01");

// Index of the first line equal to `line` at or after `from`, or -1.
int IndexOf(const QStringList& lines, const QString& line, int from = 0) {
    return lines.indexOf(line, from);
}

bool HasCardStatePair(const QStringList& lines, const QString& reader, const QString& word) {
    const QString first =
        QStringLiteral("Card State changed in ") + reader + QStringLiteral(" to ");
    for (int i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i] == first && lines[i + 1] == word) {
            return true;
        }
    }
    return false;
}

} // namespace

TEST(PcscdWindow, WithoutTheServiceTheContextFailsWithNoService) {
    TMainForm window;
    const QStringList lines = window.LogLines();
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0], "Winscard.dll successfully loaded.");
    EXPECT_EQ(lines[1], "SCardEstablishContext failed with error code 8010001D ");
    EXPECT_EQ(lines[2], "(SCARD_E_NO_SERVICE).");
}

TEST(PcscdWindow, VirtualReadersAndACardAreFollowedLive) {
    TPcscd pcscd;
    std::string error;
    ASSERT_TRUE(pcscd.Start(&error)) << error;
    {
        TMainForm window;
        const QStringList start = window.LogLines();
        ASSERT_GE(start.size(), 2);
        EXPECT_EQ(start[0], "Winscard.dll successfully loaded.");
        EXPECT_EQ(start[1], "SCardEstablishContext succeeded.");

        ASSERT_TRUE(ProcessUntil([&] {
            const QStringList lines = window.LogLines();
            return HasCardStatePair(lines, kReader0, "no card") &&
                   HasCardStatePair(lines, kReader1, "no card");
        })) << window.LogLines().join('\n').toStdString();
        const QStringList lines = window.LogLines();
        EXPECT_GE(IndexOf(lines, "New reader found: " + kReader0), 0);
        EXPECT_GE(IndexOf(lines, "New reader found: " + kReader1), 0);
        QComboBox* box = window.Form()->ReaderListBox;
        ASSERT_EQ(box->count(), 2);
        EXPECT_EQ(box->itemText(0), kReader0);
        EXPECT_EQ(box->currentIndex(), 0);
        EXPECT_FALSE(window.Form()->BitBtn1->isEnabled());
        EXPECT_EQ(window.Form()->BitBtn1->text(), QStringLiteral("Umetnite tahografsku karticu"));

        vpcd::TVpcdCard card(vpcd::AtrT1(), [](const std::vector<std::uint8_t>&) {
            return std::vector<std::uint8_t>{0x90, 0x00};
        });
        ASSERT_TRUE(card.Insert("127.0.0.1", vpcd::kDefaultPort, &error)) << error;
        ASSERT_TRUE(ProcessUntil([&] { return window.Form()->BitBtn1->isEnabled(); }))
            << window.LogLines().join('\n').toStdString();
        EXPECT_TRUE(HasCardStatePair(window.LogLines(), kReader0, "available"));
        EXPECT_EQ(window.Form()->BitBtn1->text(), QStringLiteral("Preuzmi podatke s kartice"));
        EXPECT_EQ(window.ReaderObjectAt(0)->ATR, "3B 80 80 01 01 ");

        card.Remove();
        ASSERT_TRUE(ProcessUntil([&] { return !window.Form()->BitBtn1->isEnabled(); }));
        EXPECT_EQ(window.Form()->BitBtn1->text(), QStringLiteral("Umetnite tahografsku karticu"));
        EXPECT_EQ(window.ReaderObjectAt(0)->CardState, csNoCard);
    }
}
