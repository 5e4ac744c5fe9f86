// The text dravik-download hands to scripts and people, for card bytes that
// would break either.
#include "Account.h"
#include "platform/UserFolders.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QJsonObject Parsed(const std::string& json) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << json;
    return document.object();
}

} // namespace

TEST(DownloadAccount, AnyBytesMakeValidJsonAndPrintableAccounts) {
    TDownloadReport report;
    // Not UTF-8: a lone continuation byte, a cut sequence, an overlong form, a
    // surrogate, a byte that never starts one; and control characters.
    report.Reader = "R\x80"
                    "1\xC5";
    report.CardNumber = "D1\"\\\x01\x7F";
    report.Driver = std::string("\xC0\xAF\xED\xA0\x80\xFF_\n\x1B[2J", 12);
    report.Path = "/a/\xC5\xBD.ddd";
    report.Files.push_back(
        {0x0520, "EF Identification", TFileStatus::Partial, TFileSigning::Refused});
    const std::string json = JsonObject(report);
    EXPECT_EQ(json.find('\n'), std::string::npos);
    const QJsonObject object = Parsed(json);
    EXPECT_EQ(object["reader"].toString(), QString::fromUtf8("R\uFFFD1\uFFFD"));
    EXPECT_EQ(object["cardNumber"].toString(), QString::fromUtf8("D1\"\\\x01\x7F"));
    EXPECT_EQ(object["driver"].toString(),
              QString::fromUtf8("\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD_\n\x1B[2J"));
    EXPECT_EQ(object["path"].toString(), QString::fromUtf8("/a/Ž.ddd"));
    const QJsonObject file = object["files"].toArray()[0].toObject();
    EXPECT_EQ(file["fid"].toString(), "0520");
    EXPECT_EQ(file["status"].toString(), "partial");
    EXPECT_FALSE(file["signedByCard"].toBool(true));

    // People's line: no control character reaches the terminal.
    const std::string line = AccountLine(report);
    for (const char c : line) {
        EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F) << line;
    }
}

// C1 control characters steer a terminal as C0 ones do: U+009B (and a lone
// byte 0x9B, to an 8-bit terminal) begins a command. Letters stay as they are.
TEST(DownloadAccount, NoControlCharacterOfEitherSetReachesTheTerminal) {
    TDownloadReport report;
    report.Reader = "R";
    report.CardNumber = "D1\xC2\x9B"
                        "2J\x9B"
                        "2J";
    report.Driver = "\xC5\xBD_\xC2\x85\xC2\xA0\xC2\x9F";
    const std::string line = AccountLine(report);
    EXPECT_NE(line.find("card D1?2J?2J, driver \xC5\xBD_?\xC2\xA0?"), std::string::npos) << line;
}

TEST(WindowSettings, TheArchiveFolderIsReadAsTheWindowsToolkitWroteIt) {
    const std::string ini = "[General]\r\n"
                            "archiveFolder=\"/tmp/a,b;c=d\\\\e\\\"f\\tg @h \"\r\n"
                            "plain = /home/x/Dravik\n"
                            "at=@@x\n"
                            // Qt 5 without a codec: every UTF-16 unit escaped, a hex
                            // digit after an escape escaped too.
                            "escaped=/home/ana/\\x17d\\x65ljko \\xd83d\\xde9a\\x31\\x62\n"
                            // Qt 6: UTF-8 as it is, control characters escaped.
                            "utf8=/home/ana/Željko\\x1\\x39\n"
                            "[Other]\n"
                            "archiveFolder=/wrong\n";
    EXPECT_EQ(platform::IniGeneralValue(ini, "archiveFolder"), "/tmp/a,b;c=d\\e\"f\tg @h ");
    EXPECT_EQ(platform::IniGeneralValue(ini, "plain"), "/home/x/Dravik");
    EXPECT_EQ(platform::IniGeneralValue(ini, "at"), "@x");
    EXPECT_EQ(platform::IniGeneralValue(ini, "escaped"), "/home/ana/Željko 🚚1b");
    EXPECT_EQ(platform::IniGeneralValue(ini, "utf8"), "/home/ana/Željko\x01"
                                                      "9");
    EXPECT_EQ(platform::IniGeneralValue(ini, "missing"), std::nullopt);
}
