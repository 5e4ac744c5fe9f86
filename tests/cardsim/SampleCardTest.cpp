#include "cardsim/SampleCard.h"

#include <gtest/gtest.h>

#include <string>

using namespace cardsim;
using TBytes = std::vector<std::uint8_t>;

namespace {

unsigned Be16(const TBytes& b, std::size_t at) {
    return static_cast<unsigned>(b.at(at) << 8 | b.at(at + 1));
}

// The sizes of the sized files follow from EF Application_Identification.
void ExpectSizesFromApplicationIdentification(const TCardImage& image) {
    const TBytes& app = *image.Find(ef::ApplicationIdentification);
    ASSERT_EQ(app.size(), 10u);
    EXPECT_EQ(image.Find(ef::EventsData)->size(), app[3] * 6u * 24u);
    EXPECT_EQ(image.Find(ef::FaultsData)->size(), app[4] * 2u * 24u);
    EXPECT_EQ(image.Find(ef::DriverActivityData)->size(), Be16(app, 5) + 4u);
    EXPECT_EQ(image.Find(ef::VehiclesUsed)->size(), Be16(app, 7) * 31u + 2u);
    EXPECT_EQ(image.Find(ef::Places)->size(), app[9] * 10u + 1u);
}

TEST(SampleCardTest, FullSizeCardHasEveryFileAtItsSize) {
    const TCardImage image = BuildDriverCard();
    const std::vector<std::pair<TFileRef, std::size_t>> expected = {
        {ef::Icc, 25},
        {ef::Ic, 8},
        {ef::ApplicationIdentification, 10},
        {ef::CardCertificate, 194},
        {ef::CaCertificate, 194},
        {ef::Identification, 143},
        {ef::CardDownload, 4},
        {ef::DrivingLicenceInfo, 53},
        {ef::CurrentUsage, 19},
        {ef::ControlActivityData, 46},
        {ef::SpecificConditions, 280},
        {ef::EventsData, 12 * 144},
        {ef::FaultsData, 24 * 48},
        {ef::VehiclesUsed, 200 * 31 + 2},
        {ef::Places, 112 * 10 + 1},
        {ef::DriverActivityData, 13776 + 4},
    };
    EXPECT_EQ(image.Files().size(), expected.size());
    for (const auto& [file, size] : expected) {
        const TBytes* contents = image.Find(file);
        ASSERT_NE(contents, nullptr) << std::hex << file.Fid;
        EXPECT_EQ(contents->size(), size) << std::hex << file.Fid;
    }
    EXPECT_EQ(image.Find({TDf::Tachograph, 0x0002}), nullptr);
    EXPECT_EQ(image.Find({TDf::Master, 0x0501}), nullptr);

    const TBytes& app = *image.Find(ef::ApplicationIdentification);
    EXPECT_EQ(app[0], 0x01); // driver card
    EXPECT_EQ(app[3], 12);
    EXPECT_EQ(app[4], 24);
    EXPECT_EQ(Be16(app, 5), 13776u);
    EXPECT_EQ(Be16(app, 7), 200u);
    EXPECT_EQ(app[9], 112);
    ExpectSizesFromApplicationIdentification(image);
}

TEST(SampleCardTest, IdentificationFieldsSitAtTheirOffsets) {
    const TBytes id = *BuildDriverCard().Find(ef::Identification);
    ASSERT_EQ(id.size(), 143u);
    EXPECT_EQ(std::string(id.begin() + 1, id.begin() + 17), "D100000012345600");

    // Field widths: member state 1, card number 16, authority (code page + 35),
    // three dates of 4; then surname (code page + 35), first names likewise.
    const std::size_t surname = 1 + 16 + 36 + 4 + 4 + 4;
    const std::size_t firstNames = surname + 36;
    ASSERT_EQ(surname, 65u);
    ASSERT_EQ(firstNames, 101u);
    EXPECT_EQ(firstNames + 36 + 4 + 2, id.size());

    // ISO/IEC 8859-2: Š A9, Ć C6, Ž AE.
    EXPECT_EQ(id[surname], 0x02);
    const TBytes simunovic = {0xA9, 'I', 'M', 'U', 'N', 'O', 'V', 'I', 0xC6};
    EXPECT_EQ(TBytes(id.begin() + 66, id.begin() + 75), simunovic);
    EXPECT_EQ(TBytes(id.begin() + 75, id.begin() + 101), TBytes(26, 0x20));
    EXPECT_EQ(id[firstNames], 0x02);
    EXPECT_EQ(id[102], 0xAE);
    EXPECT_EQ(std::string(id.begin() + 103, id.begin() + 108), "eljko");
    EXPECT_EQ(TBytes(id.begin() + 108, id.begin() + 137), TBytes(29, 0x20));
}

TEST(SampleCardTest, NamesAndCardNumberKeepTheirWidths) {
    TCardOptions options;
    options.CardNumber = "SHORT";
    options.NameCodePage = 0x01;
    options.Surname = std::string(40, 'S');
    options.FirstNames = "Ana";
    const TBytes id = *BuildDriverCard(options).Find(ef::Identification);
    ASSERT_EQ(id.size(), 143u);
    EXPECT_EQ(std::string(id.begin() + 1, id.begin() + 17), "SHORT           ");
    EXPECT_EQ(id[65], 0x01);
    EXPECT_EQ(std::string(id.begin() + 66, id.begin() + 101), std::string(35, 'S'));
    EXPECT_EQ(id[101], 0x01);
    EXPECT_EQ(id[102], 'A');
}

TEST(SampleCardTest, CountsShapeTheSizedFiles) {
    TCardOptions options;
    options.EventsPerType = 125; // 18000 bytes: a multiple of 250
    options.FaultsPerType = 0;   // empty
    options.ActivityStructureLength = 496;
    options.VehicleRecords = 8; // 250 bytes
    options.PlaceRecords = 0;   // the pointer alone
    const TCardImage image = BuildDriverCard(options);
    const TBytes& app = *image.Find(ef::ApplicationIdentification);
    EXPECT_EQ(app[3], 125);
    EXPECT_EQ(app[4], 0);
    EXPECT_EQ(Be16(app, 5), 496u);
    EXPECT_EQ(Be16(app, 7), 8u);
    EXPECT_EQ(app[9], 0);
    EXPECT_EQ(image.Find(ef::EventsData)->size(), 18000u);
    EXPECT_TRUE(image.Find(ef::FaultsData)->empty());
    EXPECT_EQ(image.Find(ef::DriverActivityData)->size(), 500u);
    EXPECT_EQ(image.Find(ef::VehiclesUsed)->size(), 250u);
    EXPECT_EQ(image.Find(ef::Places)->size(), 1u);
    ExpectSizesFromApplicationIdentification(image);
}

TEST(SampleCardTest, SeedDecidesTheRandomBytes) {
    TCardOptions other;
    other.Seed = 2;
    const TCardImage a = BuildDriverCard();
    EXPECT_EQ(a.Files(), BuildDriverCard().Files());
    const TCardImage b = BuildDriverCard(other);
    // Certificates come from the test PKI: every seed's card has the same key.
    EXPECT_EQ(*a.Find(ef::CardCertificate), *b.Find(ef::CardCertificate));
    EXPECT_NE(*a.Find(ef::CardCertificate), *a.Find(ef::CaCertificate));
    EXPECT_NE(*a.Find(ef::DriverActivityData), *b.Find(ef::DriverActivityData));
    EXPECT_NE(*a.Find(ef::Icc), *b.Find(ef::Icc));
    EXPECT_EQ(*a.Find(ef::Identification), *b.Find(ef::Identification));
}

} // namespace
