// Prints the card download file that a complete download of the sample card
// must give, built from the card image alone.
#include "ExpectedDownload.h"
#include "cardsim/SampleCard.h"

#include <iostream>

int main() {
    std::cout << downloadtest::Join(downloadtest::CompleteDownload(cardsim::BuildDriverCard()));
    return 0;
}
