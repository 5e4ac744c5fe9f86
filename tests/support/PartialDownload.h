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
    // Those of the file steps: a card that answers them all gives a whole
    // download, whatever becomes of the update of its last download date.
    int FileSent = 0;
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
// a failed application SELECT ends the file; a sized file's header gives the bytes
// read, with its signature record after the last chunk read. The
// card signs a signed file when its hash, its read and its signature are all
// answered (a signing card: the image has a key); otherwise the file has the
// blanks of a card that does not sign, or no record for the files that have
// one only when signed. A whole signed download ends with the update of the
// card's last download date (a SELECT and an UPDATE BINARY).
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
    bool whole = true;
    bool allSigned = true;
    // The signature record after a file's data: the card's when it signs.
    auto signature = [&](cardsim::TFileRef file, bool hashed, bool fileWhole,
                         const std::string& data) {
        if (hashed && fileWhole && read() && image.SigningKey) {
            return CardSignature(file.Fid, *image.SigningKey, data);
        }
        allSigned = allSigned && !fileWhole;
        return SignedOnlyByTheCard(file.Fid) ? std::string() : Signature(file.Fid);
    };
    for (std::size_t i = 0; i < std::size(kFixedFiles); ++i) {
        if (i == 2 && !select()) { // the application's SELECT, after EF ICC and EF IC
            result.FileSent = result.Sent;
            return finish();
        }
        const TEf& ef = kFixedFiles[i];
        if (!select()) {
            whole = false;
            continue;
        }
        const bool signedFile = ef.Signed || SignedOnlyByTheCard(ef.Ref.Fid);
        const bool hashed = signedFile && read();
        if (!read()) {
            whole = false;
            if (ef.Ref == cardsim::ef::Icc) {
                result.File += Contents(ef.Ref.Fid, {});
            }
            continue;
        }
        const std::string data = FileOf(image, ef.Ref).substr(0, ef.ReadLength);
        result.File += Contents(ef.Ref.Fid, data);
        if (signedFile) {
            result.File += signature(ef.Ref, hashed, true, data);
        }
        result.Identified = result.Identified || ef.Ref == cardsim::ef::Identification;
    }
    for (const TSized& sized : SizedFiles(CountsOf(image))) {
        if (!select()) {
            whole = false;
            continue;
        }
        const bool hashed = read();
        const std::string data = FileOf(image, sized.Ref).substr(0, sized.Size);
        std::string got;
        for (std::size_t offset = 0; offset < sized.Size && read(); offset += 250) {
            got += data.substr(offset, 250);
        }
        result.File += Contents(sized.Ref.Fid, got);
        whole = whole && got.size() == sized.Size;
        result.File += signature(sized.Ref, hashed, got.size() == sized.Size, data);
    }
    // The probe for the second-generation application, which a
    // first-generation card refuses: unanswered, the download is not whole.
    whole = select() && whole;
    result.FileSent = result.Sent;
    if (whole && allSigned && result.Identified && select()) {
        read(); // UPDATE BINARY of EF Card_Download
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
