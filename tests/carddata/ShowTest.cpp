// dravik-show as a script runs it: the JSON object of a simulated card's
// download, read back with Qt's parser, and the exit statuses.
#include "cardsim/InfringementWeek.h"
#include "cardsim/SampleCard.h"
#include "cardsim/SampleDownload.h"
#include "cardsim/TestPki.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
// Standard output is a text stream: a line ends as Windows ends it.
constexpr char kLineEnd[] = "\r\n";
int ExitCodeOf(int status) {
    return status;
}
#else
#include <sys/wait.h>
constexpr char kLineEnd[] = "\n";
int ExitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

namespace {

using TBytes = std::vector<std::uint8_t>;

std::string Write(const std::string& name, const TBytes& bytes) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
}

// Exit status and standard output.
std::pair<int, std::string> Show(const std::string& arguments) {
    const std::string output = ::testing::TempDir() + "show.out";
    std::string command =
        std::string("\"") + DRAVIK_SHOW_PATH + "\" " + arguments + " > \"" + output + "\"";
#ifdef _WIN32
    command = "\"" + command + "\"";
#endif
    const int status = std::system(command.c_str());
    std::ifstream in(output, std::ios::binary);
    return {ExitCodeOf(status),
            std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>())};
}

QJsonObject Parse(const std::string& text) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << text;
    return document.object();
}

TEST(ShowTest, JsonListsTheSimulatedCardsDays) {
    const std::string root = Write("root.bin", cardsim::TestPki().RootKeyFile);
    const std::string file = Write("g1.ddd", cardsim::DownloadOf(cardsim::BuildDriverCard()));
    const auto [status, text] = Show("--json --root " + root + " " + file);
    ASSERT_EQ(status, 0) << text;
    const QJsonObject o = Parse(text);
    QStringList keys = o.keys();
    keys.sort();
    EXPECT_EQ(keys.join(',').toStdString(),
              "card,controls,days,driver,events,faults,generation,infringements,lastCardDownload,"
              "notJudged,places,"
              "signatures,vehicles");
    EXPECT_EQ(o["generation"].toInt(), 1);
    EXPECT_EQ(o["signatures"].toString().toStdString(), "valid");
    EXPECT_EQ(o["lastCardDownload"].toString().toStdString(), "2024-01-01T00:00:00Z");
    EXPECT_EQ(o["driver"]["surname"].toString(), QString::fromUtf8("ŠIMUNOVIĆ"));
    EXPECT_EQ(o["driver"]["birthDate"].toString().toStdString(), "1978-04-23");
    EXPECT_EQ(o["card"]["expiryDate"].toString().toStdString(), "2024-12-31T00:00:00Z");
    const QJsonArray days = o["days"].toArray();
    ASSERT_EQ(days.size(), 28);
    EXPECT_EQ(days[0]["date"].toString().toStdString(), "2023-12-04");
    EXPECT_EQ(days[27]["date"].toString().toStdString(), "2023-12-31");
    QString previous;
    for (const QJsonValue day : days) {
        const QJsonObject m = day["minutes"].toObject();
        EXPECT_EQ(m["driving"].toInt() + m["work"].toInt() + m["availability"].toInt() +
                      m["rest"].toInt() + m["unknown"].toInt(),
                  1440)
            << day["date"].toString().toStdString();
        EXPECT_LT(previous, day["date"].toString());
        previous = day["date"].toString();
        EXPECT_EQ(day["changes"][0]["start"].toString().toStdString(), "00:00");
    }
    const QJsonObject monday = days[0].toObject();
    EXPECT_GT(monday["minutes"]["driving"].toInt(), 300);
    EXPECT_GT(monday["distanceKm"].toInt(), 0);
    EXPECT_EQ(monday["changes"][1]["activity"].toString().toStdString(), "work");
    EXPECT_EQ(monday["changes"][1]["slot"].toString().toStdString(), "driver");
    EXPECT_TRUE(monday["changes"][1]["cardInserted"].toBool());
    EXPECT_FALSE(days[27]["changes"][0]["cardInserted"].toBool());
    EXPECT_EQ(o["vehicles"].toArray().size(), 20);
    EXPECT_TRUE(o["vehicles"][0]["vin"].isNull());
    EXPECT_EQ(o["places"][1]["entry"].toString().toStdString(), "end");
    EXPECT_EQ(o["events"].toArray().size(), 3);
    EXPECT_EQ(o["controls"][0]["controlCard"].toString().toStdString(), "HRC0000000000100");

    const auto lastWeek = Show("--json --days 7 --root " + root + " " + file);
    const QJsonArray seven = Parse(lastWeek.second)["days"].toArray();
    ASSERT_EQ(seven.size(), 7);
    EXPECT_EQ(seven[0]["date"].toString().toStdString(), "2023-12-25");
}

TEST(ShowTest, SecondGenerationAndExitStatuses) {
    cardsim::TCardOptions options;
    options.Gen2Version = 1;
    const std::string file =
        Write("g2.ddd", cardsim::DownloadOf(cardsim::BuildDriverCard(options)));
    const std::string root = Write("root.bin", cardsim::TestPki().RootKeyFile);
    const std::string rootG2 = Write("root-g2.bin", cardsim::TestPkiG2().RootCertificate);
    const auto [status, text] = Show("--json --root " + root + " --root-g2 " + rootG2 + " " + file);
    ASSERT_EQ(status, 0) << text;
    const QJsonObject o = Parse(text);
    EXPECT_EQ(o["generation"].toInt(), 2);
    EXPECT_EQ(o["signatures"].toString().toStdString(), "valid");
    EXPECT_EQ(o["vehicles"][0]["vin"].toString().toStdString(), "WDB9634031L100000");
    // Without the second generation's root its part stays unchecked.
    EXPECT_EQ(Parse(Show("--json --root " + root + " " + file).second)["signatures"]
                  .toString()
                  .toStdString(),
              "not checked");

    TBytes cut = cardsim::DownloadOf(cardsim::BuildDriverCard());
    cut.resize(cut.size() - 1000);
    const auto shownCut = Show("--json " + Write("cut.ddd", cut));
    EXPECT_EQ(shownCut.first, 1);
    EXPECT_EQ(Parse(shownCut.second)["card"].toObject()["number"].toString().toStdString(),
              "D100000012345600");
    EXPECT_EQ(Show(Write("noise.ddd", TBytes(3000, 0xA5))).first, 2);
    EXPECT_EQ(Show(::testing::TempDir() + "missing.ddd").first, 2);
    EXPECT_EQ(Show("--days x " + file).first, 2);
    EXPECT_EQ(Show("--version").second,
              std::string("dravik-show ") + DRAVIK_TEST_VERSION + kLineEnd);
}

} // namespace

namespace {

// The fortnight with one infringement of each rule, as a card download.
TEST(ShowTest, JsonJudgesTheInfringementFortnight) {
    cardsim::TCardImage card = cardsim::BuildDriverCard();
    cardsim::SetActivity(card, cardsim::InfringementWeek(), 13776);
    const std::string file = Write("fortnight.ddd", cardsim::DownloadOf(card));
    const auto [status, text] = Show("--json " + file);
    ASSERT_EQ(status, 0) << text;
    const QJsonObject o = Parse(text);
    QStringList rules;
    for (const QJsonValue finding : o["infringements"].toArray()) {
        rules << finding["rule"].toString();
        EXPECT_NE(finding["value"].toInt(), finding["limit"].toInt()) << text;
    }
    rules.sort();
    EXPECT_EQ(rules, QStringList({"break", "daily-driving", "daily-rest", "fortnightly-driving",
                                  "weekly-driving", "weekly-rest"}));
    EXPECT_TRUE(o["notJudged"].isArray());
    const auto [textStatus, lines] = Show("--infringements " + file);
    EXPECT_EQ(textStatus, 0);
    EXPECT_NE(lines.find("weekly-rest"), std::string::npos) << lines;
    EXPECT_EQ(Show("--unknown-as sleep " + file).first, 2);

    // The report puts the infringements on a page after the chart and tables.
    const std::string pdf = ::testing::TempDir() + "fortnight.pdf";
    EXPECT_EQ(Show("--pdf " + pdf + " " + file).first, 0);
    std::ifstream in(std::filesystem::u8path(pdf), std::ios::binary);
    const std::string written((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(written.rfind("%PDF", 0), 0u);
    const auto pages = QString::fromLatin1(written.data(), static_cast<int>(written.size()))
                           .count(QRegularExpression(QStringLiteral("/Type\\s*/Page\\b")));
    EXPECT_GE(pages, 2);
}

} // namespace
