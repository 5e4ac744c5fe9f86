// The elementary files of a first-generation tachograph driver card, as the
// card's file system holds them: EF ICC and EF IC under the master file, the
// rest under DF Tachograph, which is selected by its application name.
#pragma once

#include "crypto/Crypto.h"

#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace cardsim {

enum class TDf : std::uint8_t { Master, Tachograph, TachographG2 };

// An elementary file: the dedicated file it lies in and its file identifier.
struct TFileRef {
    TDf Df = TDf::Master;
    std::uint16_t Fid = 0;
    auto operator<=>(const TFileRef&) const = default;
};

// Application name of DF Tachograph, as SELECT by name carries it.
inline constexpr std::array<std::uint8_t, 6> kTachographAid = {0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F};
// Application name of DF Tachograph_G2, the second-generation application.
inline constexpr std::array<std::uint8_t, 6> kTachographG2Aid = {0xFF, 0x53, 0x4D,
                                                                 0x52, 0x44, 0x54};

namespace ef {
inline constexpr TFileRef Icc{TDf::Master, 0x0002};
inline constexpr TFileRef Ic{TDf::Master, 0x0005};
inline constexpr TFileRef ApplicationIdentification{TDf::Tachograph, 0x0501};
inline constexpr TFileRef CardCertificate{TDf::Tachograph, 0xC100};
inline constexpr TFileRef CaCertificate{TDf::Tachograph, 0xC108};
inline constexpr TFileRef Identification{TDf::Tachograph, 0x0520};
inline constexpr TFileRef CardDownload{TDf::Tachograph, 0x050E};
inline constexpr TFileRef DrivingLicenceInfo{TDf::Tachograph, 0x0521};
inline constexpr TFileRef CurrentUsage{TDf::Tachograph, 0x0507};
inline constexpr TFileRef ControlActivityData{TDf::Tachograph, 0x0508};
inline constexpr TFileRef SpecificConditions{TDf::Tachograph, 0x0522};
inline constexpr TFileRef EventsData{TDf::Tachograph, 0x0502};
inline constexpr TFileRef FaultsData{TDf::Tachograph, 0x0503};
inline constexpr TFileRef VehiclesUsed{TDf::Tachograph, 0x0505};
inline constexpr TFileRef Places{TDf::Tachograph, 0x0506};
inline constexpr TFileRef DriverActivityData{TDf::Tachograph, 0x0504};
} // namespace ef

// An EF of DF Tachograph_G2.
constexpr TFileRef G2(std::uint16_t fid) {
    return {TDf::TachographG2, fid};
}

// A plain value: copy it, change it, hand it to a TDriverCard.
class TCardImage {
public:
    // Adds the file or replaces its contents.
    void Set(TFileRef file, std::vector<std::uint8_t> contents);
    // The card then has no such file: SELECT answers 6A82.
    void Remove(TFileRef file);
    // The file's contents, or nullptr when the card has no such file.
    const std::vector<std::uint8_t>* Find(TFileRef file) const;
    const std::map<TFileRef, std::vector<std::uint8_t>>& Files() const { return Contents; }

    // A signature the card answers PSO: COMPUTE DIGITAL SIGNATURE with after a
    // hash of this file, as a replayed download carries it; it takes the place
    // of the card's own signing.
    void SetSignature(TFileRef file, std::vector<std::uint8_t> signature);
    const std::vector<std::uint8_t>* FindSignature(TFileRef file) const;

    // The card's private key; a card without one cannot sign (6985) unless the
    // file has a recorded signature.
    std::optional<crypto::TRsaPrivateKey> SigningKey;
    // The second-generation application's CardSign key: it signs the hashed
    // EFs of DF Tachograph_G2 (PSO with Le 00).
    std::optional<crypto::TEcPrivateKey> SigningKeyG2;

private:
    std::map<TFileRef, std::vector<std::uint8_t>> Contents;
    std::map<TFileRef, std::vector<std::uint8_t>> Signatures;
};

} // namespace cardsim
