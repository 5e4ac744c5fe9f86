// Prints the card download file that a complete download of the sample card
// must give, built from the card image alone; or writes it to the file named.
#include "ExpectedDownload.h"
#include "cardsim/SampleCard.h"

#include <fstream>
#include <iostream>

int main(int argc, char* argv[]) {
    const std::string bytes =
        downloadtest::Join(downloadtest::CompleteDownload(cardsim::BuildDriverCard()));
    if (argc > 1) {
        // Binary: Windows' standard output would turn each 0A into 0D 0A.
        std::ofstream out(argv[1], std::ios::binary);
        out << bytes;
        return out.good() ? 0 : 1;
    }
    std::cout << bytes;
    return 0;
}
