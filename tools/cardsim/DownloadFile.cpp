#include "cardsim/DownloadFile.h"

#include <cstdio>

namespace cardsim {

namespace {

constexpr std::size_t kHeaderSize = 5;
constexpr std::uint8_t kContents = 0x00;
constexpr std::uint8_t kSignature = 0x01;
constexpr std::uint8_t kLastKnownType = 0x03;

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFFu);
    return text;
}

std::optional<TCardImage> Fail(std::string* error, std::size_t offset, const std::string& why) {
    if (error != nullptr) {
        *error = "record at offset " + std::to_string(offset) + ": " + why;
    }
    return std::nullopt;
}

} // namespace

std::optional<TCardImage> ImageFromDownload(std::span<const std::uint8_t> bytes,
                                            std::string* error) {
    TCardImage image;
    std::optional<TFileRef> lastContents;
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < kHeaderSize) {
            return Fail(error, at, "truncated header");
        }
        const auto fid = static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
        const std::uint8_t type = bytes[at + 2];
        const std::size_t length = static_cast<std::size_t>(bytes[at + 3]) << 8 | bytes[at + 4];
        if (type > kLastKnownType) {
            return Fail(error, at, "unknown type " + std::to_string(type));
        }
        if (bytes.size() - at - kHeaderSize < length) {
            return Fail(error, at,
                        "file " + Hex4(fid) + " announces " + std::to_string(length) + " bytes, " +
                            std::to_string(bytes.size() - at - kHeaderSize) + " remain");
        }
        const auto data = bytes.subspan(at + kHeaderSize, length);
        if (type == kContents) {
            const bool underMaster = fid == ef::Icc.Fid || fid == ef::Ic.Fid;
            const TFileRef file{underMaster ? TDf::Master : TDf::Tachograph, fid};
            if (image.Find(file) != nullptr) {
                return Fail(error, at, "file " + Hex4(fid) + " given twice");
            }
            image.Set(file, std::vector<std::uint8_t>(data.begin(), data.end()));
            lastContents = file;
            at += kHeaderSize + length;
            continue;
        }
        if (type == kSignature && lastContents && lastContents->Fid == fid) {
            image.SetSignature(*lastContents, std::vector<std::uint8_t>(data.begin(), data.end()));
        }
        lastContents.reset();
        at += kHeaderSize + length;
    }
    return image;
}

} // namespace cardsim
