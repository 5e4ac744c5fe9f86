// fuzz_carddata_seed FOLDER: writes fuzz_carddata's seeds, the downloads of a
// small first-generation and a small second-generation (version 2) sample card,
// small so that the fuzzer's mutations reach every file of them.
#include "cardsim/SampleCard.h"
#include "cardsim/SampleDownload.h"

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: fuzz_carddata_seed FOLDER\n");
        return 2;
    }
    cardsim::TCardOptions o;
    o.EventsPerType = 2;
    o.FaultsPerType = 2;
    o.ActivityStructureLength = 600;
    o.VehicleRecords = 6;
    o.PlaceRecords = 8;
    const auto write = [&](const char* name) {
        const auto bytes = cardsim::DownloadOf(cardsim::BuildDriverCard(o));
        std::ofstream(std::string(argv[1]) + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    };
    write("small-first-generation-card");
    o.Gen2Version = 2;
    o.GnssRecords = 8;
    o.Gen2PlaceRecords = 8;
    o.SpecificConditionRecords = 4;
    o.VehicleUnitRecords = 4;
    o.BorderCrossingRecords = 4;
    o.LoadUnloadRecords = 4;
    o.LoadTypeEntryRecords = 4;
    write("small-second-generation-card");
    return 0;
}
