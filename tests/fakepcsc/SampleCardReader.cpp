// Turns the in-memory library into one that holds the simulated sample driver
// card in a reader of its own from the moment it is loaded: for running the
// real program (dravik.exe) against it, where no test can insert the card.
#include "FakePcsc.h"

#include "cardsim/DriverCard.h"
#include "cardsim/SampleCard.h"

#include <memory>

namespace {

struct TSampleCardReader {
    TSampleCardReader() {
        auto card = std::make_shared<cardsim::TDriverCard>(cardsim::BuildDriverCard());
        fakepcsc::AddReader("Simulated Reader 0");
        fakepcsc::InsertCard(
            "Simulated Reader 0", {0x3B, 0x80, 0x80, 0x01, 0x01}, fakepcsc::TProtocol::T1,
            [card](const std::vector<std::uint8_t>& apdu) { return card->Process(apdu); });
    }
};

const TSampleCardReader gSampleCardReader;

} // namespace
