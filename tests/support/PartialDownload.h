// What a download leaves behind when the card stops answering part way (pulled,
// its reader gone, the service gone): the card download file built from the card
// image and the download layout, and how a closing message must read. Shared by
// the fault tests against the in-memory library and against pcscd.
#pragma once

#include "ExpectedDownload.h"

#include <climits>
#include <string>

namespace downloadtest {

struct TPartialDownload {
    std::string File;
    // Commands the download sends, answered or not.
    int Sent = 0;
    // EF Identification was read, so the closing message names the card.
    bool Identified = false;
    // The card went during a SELECT and no command came after it: a refused
    // SELECT is skipped without a log line of its own, so when the library
    // reports that exchange as done (vpcd does) the log shows no failure.
    bool EndsAtSelect = false;
};

// The download of `image` when the card answers its first `answered` commands
// and every later exchange fails. A row whose SELECT failed writes nothing; EF
// ICC gets an empty record when its SELECT went through and its read did not;
// a failed application SELECT ends the file; a sized file keeps the size its
// header announces, with its signature record after the last chunk read.
// The exchange during which the card went may be reported as done with an
// empty answer (vpcd does that): without its status word it fails a SELECT as
// much as a READ BINARY.
inline TPartialDownload PartialDownload(const cardsim::TCardImage& image, int answered = INT_MAX) {
    TPartialDownload result;
    bool pulledAtSelect = false;
    auto select = [&] {
        pulledAtSelect = pulledAtSelect || result.Sent == answered;
        return result.Sent++ < answered;
    };
    auto read = [&] { return result.Sent++ < answered; };
    auto finish = [&] {
        result.EndsAtSelect = pulledAtSelect && result.Sent == answered + 1;
        return result;
    };
    for (std::size_t i = 0; i < std::size(kFixedFiles); ++i) {
        if (i == 2 && !select()) { // the application's SELECT, after EF ICC and EF IC
            return finish();
        }
        const TEf& ef = kFixedFiles[i];
        if (!select()) {
            continue;
        }
        if (!read()) {
            if (ef.Ref == cardsim::ef::Icc) {
                result.File += Contents(ef.Ref.Fid, {});
            }
            continue;
        }
        result.File += Contents(ef.Ref.Fid, FileOf(image, ef.Ref).substr(0, ef.ReadLength));
        if (ef.Signed) {
            result.File += Signature(ef.Ref.Fid);
        }
        result.Identified = result.Identified || ef.Ref == cardsim::ef::Identification;
    }
    for (const TSized& sized : SizedFiles(CountsOf(image))) {
        if (!select()) {
            continue;
        }
        const std::string data = FileOf(image, sized.Ref).substr(0, sized.Size);
        result.File += Header(sized.Ref.Fid, 0x00, sized.Size);
        for (std::size_t offset = 0; offset < sized.Size && read(); offset += 250) {
            result.File += data.substr(offset, 250);
        }
        result.File += Signature(sized.Ref.Fid);
    }
    return finish();
}

// A closing message that passes a download off as good: it names the card and
// the driver and goes straight on to the processing time, with nothing between.
inline bool ReportsGoodDownload(const std::string& message) {
    const std::size_t driver = message.find("\rVozac: ");
    if (message.rfind("Kartica: ", 0) != 0 || driver == std::string::npos) {
        return false;
    }
    const std::size_t gap = message.find("\r\r", driver);
    return gap != std::string::npos && message.compare(gap + 2, 8, "Obrada: ") == 0;
}

} // namespace downloadtest
