// The card download file and log lines that a download of a card image must
// give, built from the image and the download layout of the tachograph
// regulation's Appendix 7 (records of file identifier, type, length and data).
// Independent of the program's own code, and of any PC/SC library.
#pragma once

#include "cardsim/CardImage.h"
#include "crypto/Crypto.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace downloadtest {

using Bytes = std::vector<std::uint8_t>;

inline std::string AsString(const Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

inline Bytes AsBytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// Contents of one elementary file of the image, as a string of bytes.
inline std::string FileOf(const cardsim::TCardImage& image, cardsim::TFileRef file) {
    const Bytes* contents = image.Find(file);
    return contents == nullptr ? std::string() : AsString(*contents);
}

inline std::string Header(std::uint16_t fid, std::uint8_t type, std::size_t length) {
    const char header[] = {static_cast<char>(fid >> 8), static_cast<char>(fid & 0xFF),
                           static_cast<char>(type), static_cast<char>((length >> 8) & 0xFF),
                           static_cast<char>(length & 0xFF)};
    return {header, sizeof(header)};
}

inline std::string Contents(std::uint16_t fid, const std::string& data) {
    return Header(fid, 0x00, data.size()) + data;
}

inline std::string Signature(std::uint16_t fid) {
    return Header(fid, 0x01, 128) + std::string(128, ' ');
}

// The signature record a card with `key` gives for `data`.
// Kept per key and data: the fault tests build the expected file once for
// every command of a download.
inline std::string CardSignature(std::uint16_t fid, const crypto::TRsaPrivateKey& key,
                                 const std::string& data) {
    static std::map<std::pair<Bytes, std::string>, Bytes> signatures;
    auto found = signatures.find({key.Modulus, data});
    if (found == signatures.end()) {
        found = signatures
                    .emplace(std::make_pair(key.Modulus, data),
                             crypto::SignPkcs1Sha1(key, AsBytes(data)))
                    .first;
    }
    return Header(fid, 0x01, found->second.size()) + AsString(found->second);
}

// An elementary file of the driver card as the download reads it.
struct TEf {
    cardsim::TFileRef Ref;
    const char* Name;
    std::size_t ReadLength; // fixed-size files; 0 for the sized ones
    bool Signed;
};

inline const TEf kFixedFiles[] = {
    {cardsim::ef::Icc, "EF ICC", 25, false},
    {cardsim::ef::Ic, "EF IC", 8, false},
    {cardsim::ef::ApplicationIdentification, "EF App ID", 10, true},
    {cardsim::ef::CardCertificate, "EF Card Certificate", 194, false},
    {cardsim::ef::CaCertificate, "EF CA Certificate", 194, false},
    {cardsim::ef::Identification, "EF Identification", 143, true},
    {cardsim::ef::CardDownload, "EF Card Download", 4, false},
    {cardsim::ef::DrivingLicenceInfo, "EF Driving Licence", 53, true},
    {cardsim::ef::CurrentUsage, "EF current usage", 19, false},
    {cardsim::ef::ControlActivityData, "EF control activity", 46, true},
};

// The counts of EF Application_Identification that give the sized files' sizes.
struct TCounts {
    std::size_t Events = 0, Faults = 0, Activity = 0, Vehicles = 0, Places = 0;
};

inline TCounts CountsOf(const cardsim::TCardImage& image) {
    const std::string id = FileOf(image, cardsim::ef::ApplicationIdentification);
    auto at = [&](std::size_t i) {
        return static_cast<std::size_t>(static_cast<unsigned char>(id.at(i)));
    };
    return {at(3), at(4), at(5) * 256 + at(6), at(7) * 256 + at(8), at(9)};
}

struct TSized {
    cardsim::TFileRef Ref;
    std::size_t Size;
    const char* Name;
    const char* StatusLabel;
    const char* ChunkLabel;
    const char* AllLabel;
};

inline std::vector<TSized> SizedFiles(const TCounts& c) {
    return {
        {cardsim::ef::SpecificConditions, 280, "EF Specific_Conditions", "EF spec cond ",
         "EF spec cond ", "EF spec cond all:"},
        {cardsim::ef::EventsData, c.Events * 144, "EF Events_Data", "EF events data ",
         "EF events data ", "EF events data all:"},
        {cardsim::ef::FaultsData, c.Faults * 48, "EF Faults_Data", "EF faults data ",
         "EF faults data ", "EF faults data all:"},
        {cardsim::ef::VehiclesUsed, c.Vehicles * 31 + 2, "EF Vehicles_Used", "EF vehicles data ",
         "EF vehicles data ", "EF vehicles all:"},
        {cardsim::ef::Places, c.Places * 10 + 1, "EF Places", "EF places data ", "EF places data ",
         "EF places all:"},
        {cardsim::ef::DriverActivityData, c.Activity + 4, "EF Driver_Activity_Data",
         "EF activities  ", "EF activities data ", "EF activities all:"},
    };
}

// The records of each elementary file in a complete download, in file order,
// so that a test can replace the part of the file it changes.
using TSegments = std::vector<std::pair<std::uint16_t, std::string>>;

// The signature record the image's card gives for a file it hashed whole:
// its signature of the file's whole contents, or the blanks of a card without
// a key.
inline std::string SignatureRecord(const cardsim::TCardImage& image, cardsim::TFileRef file) {
    return image.SigningKey ? CardSignature(file.Fid, *image.SigningKey, FileOf(image, file))
                            : Signature(file.Fid);
}

// Files the card signs that have no signature record when the card does not.
inline bool SignedOnlyByTheCard(std::uint16_t fid) {
    return fid == cardsim::ef::CardDownload.Fid || fid == cardsim::ef::CurrentUsage.Fid;
}

// Without `signer`, the download of a card that does not sign: 128 blanks where
// the layout has a signature record. With it, every one of the twelve signed
// files carries the card's signature of its data.
inline TSegments CompleteDownload(const cardsim::TCardImage& image,
                                  const crypto::TRsaPrivateKey* signer) {
    TSegments segments;
    for (const TEf& ef : kFixedFiles) {
        const std::string data = FileOf(image, ef.Ref).substr(0, ef.ReadLength);
        std::string bytes = Contents(ef.Ref.Fid, data);
        if (signer != nullptr && (ef.Signed || SignedOnlyByTheCard(ef.Ref.Fid))) {
            bytes += CardSignature(ef.Ref.Fid, *signer, data);
        } else if (ef.Signed) {
            bytes += Signature(ef.Ref.Fid);
        }
        segments.emplace_back(ef.Ref.Fid, bytes);
    }
    for (const TSized& sized : SizedFiles(CountsOf(image))) {
        const std::string data = FileOf(image, sized.Ref).substr(0, sized.Size);
        segments.emplace_back(sized.Ref.Fid,
                              Header(sized.Ref.Fid, 0x00, sized.Size) + data +
                                  (signer != nullptr ? CardSignature(sized.Ref.Fid, *signer, data)
                                                     : Signature(sized.Ref.Fid)));
    }
    return segments;
}

// The download of the image's own card: signed when the card has a key.
inline TSegments CompleteDownload(const cardsim::TCardImage& image) {
    return CompleteDownload(image, image.SigningKey ? &*image.SigningKey : nullptr);
}

// The second-generation part of a download of a card image that has one:
// the certificates and Card_Download unsigned, every other file signed by the
// card's G2 key (plain r || s). The files of version 2 only where the image
// has them.
inline TSegments G2Part(const cardsim::TCardImage& image) {
    constexpr std::uint16_t kFiles[] = {0xC101, 0xC108, 0xC109, 0x0501, 0x0525, 0x0520,
                                        0x050E, 0x0521, 0x0502, 0x0503, 0x0504, 0x0505,
                                        0x0506, 0x0507, 0x0508, 0x0522, 0x0523, 0x0524,
                                        0x0526, 0x0527, 0x0528, 0x0529, 0x0530};
    TSegments segments;
    for (const std::uint16_t fid : kFiles) {
        const auto* contents = image.Find(cardsim::G2(fid));
        if (contents == nullptr) {
            continue;
        }
        const std::string data = AsString(*contents);
        std::string bytes = Header(fid, 0x02, data.size()) + data;
        if ((fid & 0xFF00) != 0xC100 && fid != 0x050E && image.SigningKeyG2) {
            const auto& key = *image.SigningKeyG2;
            const std::string signature =
                AsString(crypto::SignEcdsa(key, crypto::HashFor(key.Curve, *contents)));
            bytes += Header(fid, 0x03, signature.size()) + signature;
        }
        segments.emplace_back(fid, bytes);
    }
    return segments;
}

inline std::string Join(const TSegments& segments) {
    std::string bytes;
    for (const auto& segment : segments) {
        bytes += segment.second;
    }
    return bytes;
}

inline void Replace(TSegments& segments, std::uint16_t fid, const std::string& bytes) {
    for (auto& segment : segments) {
        if (segment.first == fid) {
            segment.second = bytes;
        }
    }
}

inline std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
        text += ' ';
    }
    return text;
}

inline std::string Printable(std::string bytes) {
    for (char& c : bytes) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
            c = '.';
        }
    }
    return bytes;
}

// The signing lines after a file's data: the card's signature, or the
// simulated card's refusal when it has no key (6985, no data).
inline std::vector<std::string> SignatureLines(const cardsim::TCardImage& image,
                                               const std::string& name, const std::string& data) {
    if (!image.SigningKey) {
        return {name + " ComputeDigitalSignature - status = 6985  0: not signed by the card"};
    }
    return {name + " ComputeDigitalSignature OK",
            Hex(CardSignature(0, *image.SigningKey, data).substr(5))};
}

// The file steps' log lines of a complete download, with the card asked to
// sign every signed file, and the update of its last download date when it
// signed them all (`cardUpdate`).
inline std::vector<std::string> CompleteDownloadLog(const cardsim::TCardImage& image,
                                                    bool cardUpdate = true) {
    std::vector<std::string> lines;
    for (const TEf& ef : kFixedFiles) {
        const std::string data = FileOf(image, ef.Ref).substr(0, ef.ReadLength);
        const bool signedFile = ef.Signed || SignedOnlyByTheCard(ef.Ref.Fid);
        if (signedFile) {
            lines.push_back(std::string(ef.Name) + " PerformHash OK");
        }
        lines.push_back(std::string(ef.Name) + " ReadBinary OK");
        lines.push_back(Hex(data));
        lines.push_back("Data: " + Printable(data));
        if (signedFile) {
            for (const std::string& line : SignatureLines(image, ef.Name, data)) {
                lines.push_back(line);
            }
        }
    }
    for (const TSized& sized : SizedFiles(CountsOf(image))) {
        const std::string data = FileOf(image, sized.Ref).substr(0, sized.Size);
        lines.push_back(std::string(sized.Name) + " PerformHash OK");
        for (std::size_t offset = 0; offset < sized.Size; offset += 250) {
            const std::size_t length = std::min<std::size_t>(250, sized.Size - offset);
            lines.push_back(sized.StatusLabel + std::to_string(offset) + " - status = 9000  " +
                            std::to_string(length));
            lines.push_back(sized.ChunkLabel + std::to_string(offset) + " ReadBinary OK");
            lines.push_back(Hex(data.substr(offset, length)));
        }
        const std::vector<std::string> all = {sized.AllLabel, Printable(data)};
        const auto signature = SignatureLines(image, sized.Name, data);
        // EF Faults_Data logs its whole contents before its signature.
        const bool allFirst = sized.Ref.Fid == cardsim::ef::FaultsData.Fid;
        for (const auto* part : {allFirst ? &all : &signature, allFirst ? &signature : &all}) {
            lines.insert(lines.end(), part->begin(), part->end());
        }
    }
    lines.push_back("DF Tachograph_G2 Select - status = 6A82: a first-generation card");
    if (cardUpdate && image.SigningKey) {
        lines.push_back("EF Card Download UpdateBinary OK");
    }
    return lines;
}

// "yyyymmdd_hhmm" of a moment, for the download name.
inline std::string Stamp(const std::tm& moment) {
    char text[32];
    std::strftime(text, sizeof(text), "%Y%m%d_%H%M", &moment);
    return text;
}

inline std::tm LocalNow() {
    // Called on the test's main thread only: the shared buffer is copied at once.
    const std::time_t now = std::time(nullptr);
    return *std::localtime(&now);
}

// SELECT by file identifier, as the card gets it.
inline Bytes SelectOf(std::uint16_t fid) {
    return {0x00,
            0xA4,
            0x02,
            0x0C,
            0x02,
            static_cast<std::uint8_t>(fid >> 8),
            static_cast<std::uint8_t>(fid & 0xFF)};
}

inline const Bytes kSelectTachograph = {0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF,
                                        0x54, 0x41, 0x43, 0x48, 0x4F};

} // namespace downloadtest
