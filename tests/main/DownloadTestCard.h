// The simulated driver card behind the in-memory PC/SC library, and the card
// download file and log lines that a download of a card image must give, built
// from the image and the download layout of the tachograph regulation's
// Appendix 7 (records of file identifier, type, length and data).
#pragma once

#include "DownloadTestSupport.h"
#include "ExpectedDownload.h"
#include "cardsim/DriverCard.h"
#include "cardsim/SampleCard.h"

#include <cstdio>
#include <ctime>

namespace downloadtest {

// The in-memory library with the simulated driver card in its reader.
class TDriverCardTest : public TFakeReaderTest {
protected:
    void InsertDriverCard(const cardsim::TCardOptions& options = {}) {
        InsertImage(cardsim::BuildDriverCard(options));
    }
    void InsertImage(const cardsim::TCardImage& image) {
        Image = image;
        Card = std::make_shared<cardsim::TDriverCard>(Image);
        InsertCard([card = Card](const Bytes& apdu) { return card->Process(apdu); });
    }

    // The command bytes the card was sent, in order, since the last ClearCalls.
    static std::vector<Bytes> Commands() {
        std::vector<Bytes> commands;
        for (const auto& call : fakepcsc::Calls("SCardTransmit")) {
            commands.push_back(call.Data);
        }
        return commands;
    }
    // The commands sent after `select` and before the next SELECT, without the
    // card's hash and signature, which tests of the signing look at.
    static std::vector<Bytes> CommandsAfter(const Bytes& select) {
        const auto all = Commands();
        std::vector<Bytes> after;
        bool inside = false;
        for (const Bytes& command : all) {
            const bool isSelect = command.size() >= 2 && command[1] == 0xA4;
            if (isSelect) {
                inside = command == select;
                continue;
            }
            const bool signing = command.size() >= 2 && command[1] == 0x2A;
            if (inside && !signing) {
                after.push_back(command);
            }
        }
        return after;
    }

    cardsim::TCardImage Image;
    std::shared_ptr<cardsim::TDriverCard> Card;
};

} // namespace downloadtest
