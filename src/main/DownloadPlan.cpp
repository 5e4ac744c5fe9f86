#include "main/DownloadPlan.h"

namespace plan {

namespace {

// Byte `index` of `data`, 0 where the answer is shorter.
std::size_t ByteAt(const std::string& data, std::size_t index) {
    return index < data.size() ? static_cast<unsigned char>(data[index]) : 0;
}

std::size_t WordAt(const std::string& data, std::size_t index) {
    return ByteAt(data, index) * 256 + ByteAt(data, index + 1);
}

} // namespace

TApplicationSizes ApplicationSizesOf(const std::string& data) {
    TApplicationSizes sizes;
    sizes.EventsPerType = ByteAt(data, 3);
    sizes.FaultsPerType = ByteAt(data, 4);
    sizes.ActivityLength = WordAt(data, 5);
    sizes.VehicleRecords = WordAt(data, 7);
    sizes.PlaceRecords = ByteAt(data, 9);
    return sizes;
}

TApplicationSizes ApplicationSizesG2Of(const std::string& data) {
    TApplicationSizes sizes;
    sizes.StructureVersion = ByteAt(data, 2);
    sizes.EventsPerType = ByteAt(data, 3);
    sizes.FaultsPerType = ByteAt(data, 4);
    sizes.ActivityLength = WordAt(data, 5);
    sizes.VehicleRecords = WordAt(data, 7);
    sizes.PlaceRecords = WordAt(data, 9);
    sizes.GnssRecords = WordAt(data, 11);
    sizes.SpecificConditionRecords = WordAt(data, 13);
    sizes.VehicleUnitRecords = WordAt(data, 15);
    return sizes;
}

void AddVersion2Sizes(TApplicationSizes& sizes, const std::string& data) {
    // lengthOfFollowingData comes first; vuConfigurationLengthRange last is
    // of no use without secure messaging.
    sizes.BorderCrossingRecords = WordAt(data, 2);
    sizes.LoadUnloadRecords = WordAt(data, 4);
    sizes.LoadTypeEntryRecords = WordAt(data, 6);
}

std::size_t SizeOf(TSizeRule rule, const TApplicationSizes& sizes, std::size_t fixedSize) {
    switch (rule) {
    case TSizeRule::SpecificConditions:
        return 280;
    case TSizeRule::Events:
        return sizes.EventsPerType * 144;
    case TSizeRule::Faults:
        return sizes.FaultsPerType * 48;
    case TSizeRule::Vehicles:
        return sizes.VehicleRecords * 31 + 2;
    case TSizeRule::Places:
        return sizes.PlaceRecords * 10 + 1;
    case TSizeRule::Activities:
    case TSizeRule::ActivitiesG2:
        return sizes.ActivityLength + 4;
    case TSizeRule::Fixed:
        return fixedSize;
    case TSizeRule::EventsG2:
        return 11 * sizes.EventsPerType * 24;
    case TSizeRule::FaultsG2:
        return 2 * sizes.FaultsPerType * 24;
    case TSizeRule::VehiclesG2:
        return 2 + sizes.VehicleRecords * 48;
    case TSizeRule::PlacesG2:
        return 2 + sizes.PlaceRecords * 21;
    case TSizeRule::SpecificConditionsG2:
        return 2 + sizes.SpecificConditionRecords * 5;
    case TSizeRule::VehicleUnits:
        return 2 + sizes.VehicleUnitRecords * 10;
    case TSizeRule::GnssPlaces:
        return 2 + sizes.GnssRecords * 18;
    case TSizeRule::PlacesAuthentication:
        return 2 + sizes.PlaceRecords * 5;
    case TSizeRule::GnssPlacesAuthentication:
        return 2 + sizes.GnssRecords * 5;
    case TSizeRule::BorderCrossings:
        return 2 + sizes.BorderCrossingRecords * 17;
    case TSizeRule::LoadUnloadOperations:
        return 2 + sizes.LoadUnloadRecords * 20;
    case TSizeRule::LoadTypeEntries:
        return 2 + sizes.LoadTypeEntryRecords * 5;
    }
    return 0;
}

} // namespace plan
