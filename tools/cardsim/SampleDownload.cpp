#include "cardsim/SampleDownload.h"

#include "crypto/Crypto.h"

namespace cardsim {

namespace {

using TBytes = std::vector<std::uint8_t>;

void Record(TBytes& out, std::uint16_t fid, std::uint8_t type, const TBytes& data) {
    out.push_back(static_cast<std::uint8_t>(fid >> 8));
    out.push_back(static_cast<std::uint8_t>(fid));
    out.push_back(type);
    out.push_back(static_cast<std::uint8_t>(data.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
}

} // namespace

TBytes DownloadOf(const TCardImage& image) {
    TBytes out;
    auto file = [&](TFileRef ref, bool sign) {
        const TBytes* data = image.Find(ref);
        if (data == nullptr) {
            return;
        }
        const bool g2 = ref.Df == TDf::TachographG2;
        Record(out, ref.Fid, g2 ? 0x02 : 0x00, *data);
        if (!sign) {
            return;
        }
        if (g2 && image.SigningKeyG2) {
            const crypto::TEcPrivateKey& key = *image.SigningKeyG2;
            Record(out, ref.Fid, 0x03, crypto::SignEcdsa(key, crypto::HashFor(key.Curve, *data)));
        } else if (!g2) {
            Record(out, ref.Fid, 0x01,
                   image.SigningKey ? crypto::SignPkcs1Sha1(*image.SigningKey, *data)
                                    : TBytes(128, 0x20));
        }
    };
    file(ef::Icc, false);
    file(ef::Ic, false);
    file(ef::ApplicationIdentification, true);
    file(ef::CardCertificate, false);
    file(ef::CaCertificate, false);
    for (const TFileRef ref :
         {ef::Identification, ef::CardDownload, ef::DrivingLicenceInfo, ef::CurrentUsage,
          ef::ControlActivityData, ef::SpecificConditions, ef::EventsData, ef::FaultsData,
          ef::VehiclesUsed, ef::Places, ef::DriverActivityData}) {
        file(ref, true);
    }
    if (image.Find(G2(0x0501)) == nullptr) {
        return out;
    }
    for (const std::uint16_t fid : {0xC101, 0xC108, 0xC109}) {
        file(G2(static_cast<std::uint16_t>(fid)), false);
    }
    file(G2(0x0501), true);
    file(G2(0x0525), true);
    for (const std::uint16_t fid :
         {0x0520, 0x0521, 0x0502, 0x0503, 0x0504, 0x0505, 0x0506, 0x0507, 0x0508, 0x0522, 0x0523,
          0x0524, 0x0526, 0x0527, 0x0528, 0x0529, 0x0530}) {
        file(G2(static_cast<std::uint16_t>(fid)), true);
    }
    file(G2(0x050E), false);
    return out;
}

} // namespace cardsim
