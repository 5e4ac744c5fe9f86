#include "cardsim/DownloadFile.h"
#include "cardsim/DriverCard.h"
#include "cardsim/SampleCard.h"

#include <gtest/gtest.h>

using namespace cardsim;
using TBytes = std::vector<std::uint8_t>;

namespace {

void AppendRecord(TBytes& out, std::uint16_t fid, std::uint8_t type, const TBytes& data) {
    out.push_back(static_cast<std::uint8_t>(fid >> 8));
    out.push_back(static_cast<std::uint8_t>(fid));
    out.push_back(type);
    out.push_back(static_cast<std::uint8_t>(data.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
}

// A download as the program writes it: the files in its order, a signature
// record of blanks behind the signed ones.
TBytes DownloadOf(const TCardImage& image) {
    const std::vector<std::pair<TFileRef, bool>> order = {
        {ef::Icc, false},
        {ef::Ic, false},
        {ef::ApplicationIdentification, true},
        {ef::CardCertificate, false},
        {ef::CaCertificate, false},
        {ef::Identification, true},
        {ef::CardDownload, false},
        {ef::DrivingLicenceInfo, true},
        {ef::CurrentUsage, false},
        {ef::ControlActivityData, true},
        {ef::SpecificConditions, true},
        {ef::EventsData, true},
        {ef::FaultsData, true},
        {ef::VehiclesUsed, true},
        {ef::Places, true},
        {ef::DriverActivityData, true},
    };
    TBytes out;
    for (const auto& [file, signedFile] : order) {
        AppendRecord(out, file.Fid, 0x00, *image.Find(file));
        if (signedFile) {
            AppendRecord(out, file.Fid, 0x01, TBytes(128, 0x20));
        }
    }
    return out;
}

TCardImage SmallCard() {
    TCardOptions options;
    options.EventsPerType = 2;
    options.FaultsPerType = 0;
    options.ActivityStructureLength = 600;
    options.VehicleRecords = 3;
    options.PlaceRecords = 4;
    return BuildDriverCard(options);
}

TEST(DownloadFileTest, DownloadGivesBackEveryFileInItsDf) {
    for (const TCardImage& original : {SmallCard(), BuildDriverCard()}) {
        std::string error;
        const auto image = ImageFromDownload(DownloadOf(original), &error);
        ASSERT_TRUE(image) << error;
        EXPECT_EQ(image->Files(), original.Files());
    }
}

TEST(DownloadFileTest, ReplayedCardAnswersWithTheDownloadedBytes) {
    TBytes download;
    const TBytes icc(25, 0x11);
    const TBytes events = {1, 2, 3, 4, 5};
    AppendRecord(download, 0x0002, 0x00, icc);
    AppendRecord(download, 0x0502, 0x00, events);
    AppendRecord(download, 0x0502, 0x01, TBytes(128, 0x20));
    const auto image = ImageFromDownload(download);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->Files().size(), 2u);

    TDriverCard card(*image);
    EXPECT_EQ(card.Process({0x00, 0xA4, 0x02, 0x0C, 0x02, 0x00, 0x02}), (TBytes{0x90, 0x00}));
    TBytes answer = card.Process({0x00, 0xB0, 0x00, 0x00, 0x19});
    EXPECT_EQ(answer, [&] {
        TBytes expected = icc;
        expected.insert(expected.end(), {0x90, 0x00});
        return expected;
    }());
    EXPECT_EQ(card.Process({0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F}),
              (TBytes{0x90, 0x00}));
    EXPECT_EQ(card.Process({0x00, 0xA4, 0x02, 0x0C, 0x02, 0x05, 0x02}), (TBytes{0x90, 0x00}));
    EXPECT_EQ(card.Process({0x00, 0xB0, 0x00, 0x01, 0x0A}), (TBytes{2, 3, 4, 5, 0x62, 0x82}));
    EXPECT_EQ(card.Process({0x00, 0xA4, 0x02, 0x0C, 0x02, 0x05, 0x01}), (TBytes{0x6A, 0x82}));
}

TEST(DownloadFileTest, SignatureAndSecondGenerationRecordsAreSkipped) {
    TBytes download;
    AppendRecord(download, 0x0501, 0x01, TBytes(128, 0x20));
    AppendRecord(download, 0x0501, 0x02, TBytes(17, 0xAA));
    AppendRecord(download, 0x0501, 0x03, TBytes(64, 0xBB));
    AppendRecord(download, 0x0501, 0x00, TBytes(10, 0x05));
    AppendRecord(download, 0x0520, 0x00, {});
    const auto image = ImageFromDownload(download);
    ASSERT_TRUE(image);
    ASSERT_EQ(image->Files().size(), 2u);
    EXPECT_EQ(*image->Find(ef::ApplicationIdentification), TBytes(10, 0x05));
    EXPECT_TRUE(image->Find(ef::Identification)->empty());
}

TEST(DownloadFileTest, EmptyInputIsACardWithoutFiles) {
    const auto image = ImageFromDownload({});
    ASSERT_TRUE(image);
    EXPECT_TRUE(image->Files().empty());
}

TEST(DownloadFileTest, MalformedInputIsRejected) {
    TBytes good;
    AppendRecord(good, 0x0002, 0x00, TBytes(25, 0x11));
    AppendRecord(good, 0x0005, 0x00, TBytes(8, 0x22));
    ASSERT_EQ(good.size(), 43u);
    ASSERT_TRUE(ImageFromDownload(good));

    struct TCase {
        const char* What;
        TBytes Input;
        std::string Offset;
    };
    std::vector<TCase> cases;
    // Every cut inside the second record.
    for (std::size_t cut = 31; cut < good.size(); ++cut) {
        cases.push_back({"cut",
                         TBytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut)),
                         "offset 30"});
    }
    {
        TBytes longer = good;
        longer[34] = 0x09; // announces 9 bytes, 8 follow
        cases.push_back({"length past the end", longer, "offset 30"});
    }
    {
        TBytes header = good;
        header.insert(header.end(), {0x05, 0x01, 0x00, 0xFF});
        cases.push_back({"header cut", header, "offset 43"});
    }
    {
        TBytes type = good;
        type[2] = 0x04;
        cases.push_back({"unknown type", type, "offset 0"});
    }
    {
        TBytes twice = good;
        AppendRecord(twice, 0x0002, 0x00, TBytes(25, 0x33));
        cases.push_back({"file twice", twice, "offset 43"});
    }
    for (const TCase& c : cases) {
        std::string error;
        EXPECT_FALSE(ImageFromDownload(c.Input, &error)) << c.What << " " << c.Input.size();
        EXPECT_NE(error.find(c.Offset), std::string::npos) << c.What << ": " << error;
    }
    // Without a place for the error text it still just says no.
    EXPECT_FALSE(ImageFromDownload(TBytes{0x00, 0x02}));
}

} // namespace
