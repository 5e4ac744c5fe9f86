#include "cardsim/DriverCard.h"

#include <algorithm>

namespace cardsim {

namespace {

using TBytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kClass = 0x00;
constexpr std::uint8_t kProprietaryClass = 0x80;
constexpr std::uint8_t kPerformSecurityOperation = 0x2A;
constexpr std::uint8_t kUpdateBinary = 0xD6;
constexpr std::uint8_t kSelect = 0xA4;
constexpr std::uint8_t kReadBinary = 0xB0;
constexpr std::uint8_t kByFileId = 0x02;
// P1 00 with the file identifier 3F00: the MF, from anywhere.
constexpr std::uint8_t kMasterFileOrChild = 0x00;
constexpr std::uint16_t kMasterFileId = 0x3F00;
constexpr std::uint16_t kAtrInfoFid = 0x2F01;
constexpr std::uint8_t kByName = 0x04;
constexpr std::uint8_t kNoResponseData = 0x0C;

constexpr std::uint16_t kOk = 0x9000;
constexpr std::uint16_t kEndOfFile = 0x6282;
constexpr std::uint16_t kWrongLength = 0x6700;
constexpr std::uint16_t kNoCurrentEf = 0x6986;
constexpr std::uint16_t kConditionsNotSatisfied = 0x6985;
constexpr std::size_t kSignatureLength = 128;
constexpr std::uint16_t kNotFound = 0x6A82;
constexpr std::uint16_t kWrongP1P2 = 0x6A86;
constexpr std::uint16_t kWrongOffset = 0x6B00;
constexpr std::uint16_t kUnknownInstruction = 0x6D00;
constexpr std::uint16_t kUnknownClass = 0x6E00;

// PKCS#1 v1.5 signatures are deterministic: the same key and file give the
// same bytes, so each is computed once per process. Tests download the same
// card hundreds of times; a real card's time to sign is not what they measure.
TBytes CachedSignature(const crypto::TRsaPrivateKey& key, const TBytes& contents) {
    static std::mutex lock;
    static std::map<std::pair<TBytes, TBytes>, TBytes> signatures;
    std::lock_guard guard(lock);
    auto found = signatures.find({key.Modulus, contents});
    if (found == signatures.end()) {
        found = signatures
                    .emplace(std::make_pair(key.Modulus, contents),
                             crypto::SignPkcs1Sha1(key, contents))
                    .first;
    }
    return found->second;
}

TBytes Status(std::uint16_t sw) {
    return {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)};
}

TBytes WithStatus(TBytes data, std::uint16_t sw) {
    data.push_back(static_cast<std::uint8_t>(sw >> 8));
    data.push_back(static_cast<std::uint8_t>(sw));
    return data;
}

} // namespace

TDriverCard::TDriverCard(TCardImage image) : Image(std::move(image)) {}

std::vector<std::uint8_t> TDriverCard::Process(const std::vector<std::uint8_t>& apdu) {
    std::lock_guard guard(Lock);
    if (CommandsLeft) {
        if (*CommandsLeft == 0) {
            return {};
        }
        --*CommandsLeft;
    }
    ++Answered;

    const bool select = apdu.size() >= 2 && apdu[1] == kSelect;
    const auto failed = FailedCommands.find(apdu);
    if (failed != FailedCommands.end()) {
        if (select) {
            CurrentEf.reset();
        }
        return Status(failed->second);
    }
    if (const auto answer = Answers.find(apdu); answer != Answers.end()) {
        return answer->second;
    }
    if (apdu.size() < 4) {
        return Status(kWrongLength);
    }
    const auto faults = FailedInstructions.equal_range({apdu[0], apdu[1]});
    for (auto fault = faults.first; fault != faults.second; ++fault) {
        if (!fault->second.File || fault->second.File == CurrentEf) {
            return Status(fault->second.StatusWord);
        }
    }
    if (apdu[0] == kProprietaryClass && apdu[1] == kPerformSecurityOperation) {
        return PerformHash(apdu);
    }
    if (apdu[0] != kClass) {
        return Status(kUnknownClass);
    }
    switch (apdu[1]) {
    case kSelect:
        return Select(apdu);
    case kReadBinary:
        return ReadBinary(apdu);
    case kPerformSecurityOperation:
        return ComputeSignature(apdu);
    case kUpdateBinary:
        return UpdateBinary(apdu);
    default:
        return Status(kUnknownInstruction);
    }
}

std::vector<std::uint8_t> TDriverCard::Select(const std::vector<std::uint8_t>& apdu) {
    const std::uint8_t p1 = apdu[2];
    const std::uint8_t p2 = apdu[3];
    CurrentEf.reset();
    const bool master = p1 == kMasterFileOrChild && MasterSelectable;
    if ((p1 != kByFileId && p1 != kByName && !master) || p2 != kNoResponseData) {
        return Status(kWrongP1P2);
    }
    if (apdu.size() < 5 || apdu.size() != 5u + apdu[4]) {
        return Status(kWrongLength);
    }
    const auto data = apdu.begin() + 5;
    if (master) {
        if (apdu[4] != 2 || (data[0] << 8 | data[1]) != kMasterFileId) {
            return Status(kNotFound);
        }
        CurrentDf = TDf::Master;
        Hashed.reset();
        return Status(kOk);
    }
    if (p1 == kByName) {
        const bool hasG2 =
            std::any_of(Image.Files().begin(), Image.Files().end(),
                        [](const auto& f) { return f.first.Df == TDf::TachographG2; });
        if (std::equal(data, apdu.end(), kTachographAid.begin(), kTachographAid.end())) {
            CurrentDf = TDf::Tachograph;
        } else if (hasG2 &&
                   std::equal(data, apdu.end(), kTachographG2Aid.begin(), kTachographG2Aid.end())) {
            CurrentDf = TDf::TachographG2;
        } else {
            return Status(kNotFound);
        }
        Hashed.reset();
        return Status(kOk);
    }
    if (apdu[4] != 2) {
        return Status(kWrongLength);
    }
    const TFileRef file{CurrentDf, static_cast<std::uint16_t>(data[0] << 8 | data[1])};
    if (Image.Find(file) == nullptr) {
        return Status(kNotFound);
    }
    CurrentEf = file;
    return Status(kOk);
}

std::vector<std::uint8_t> TDriverCard::ReadBinary(const std::vector<std::uint8_t>& apdu) const {
    const bool extended = ExtendedLength && apdu.size() == 7 && apdu[4] == 0;
    if (apdu.size() != 5 && !extended) {
        return Status(kWrongLength);
    }
    if (!CurrentEf) {
        return Status(kNoCurrentEf);
    }
    const auto offset = static_cast<std::uint16_t>((apdu[2] & 0x7F) << 8 | apdu[3]);
    if (const auto found = UnreadableFiles.find(*CurrentEf); found != UnreadableFiles.end()) {
        return Status(found->second);
    }
    if (const auto found = FailedReads.find({*CurrentEf, offset}); found != FailedReads.end()) {
        return Status(found->second);
    }
    const std::vector<std::uint8_t>& contents = *Image.Find(*CurrentEf);
    if (offset > contents.size()) {
        return Status(kWrongOffset);
    }
    std::size_t wanted = apdu[4] == 0 ? 256 : apdu[4];
    if (extended) {
        const std::size_t le = std::size_t{apdu[5]} << 8 | apdu[6];
        wanted = le == 0 ? 65536 : le;
    }
    const std::size_t remaining = contents.size() - offset;
    const std::size_t count = std::min(wanted, remaining);
    const auto from = contents.begin() + offset;
    return WithStatus(TBytes(from, from + static_cast<std::ptrdiff_t>(count)),
                      count < wanted ? kEndOfFile : kOk);
}

std::vector<std::uint8_t> TDriverCard::PerformHash(const std::vector<std::uint8_t>& apdu) {
    if (apdu.size() != 4 || apdu[2] != 0x90 || apdu[3] != 0x00) {
        return Status(apdu.size() != 4 ? kWrongLength : kWrongP1P2);
    }
    if (!CurrentEf) {
        return Status(kNoCurrentEf);
    }
    Hashed.emplace(*CurrentEf, *Image.Find(*CurrentEf));
    return Status(kOk);
}

std::vector<std::uint8_t>
TDriverCard::ComputeSignature(const std::vector<std::uint8_t>& apdu) const {
    if (apdu.size() < 4 || apdu[2] != 0x9E || apdu[3] != 0x9A) {
        return Status(kWrongP1P2);
    }
    if (apdu.size() != 5) {
        return Status(kWrongLength);
    }
    if (!Hashed) {
        return Status(kConditionsNotSatisfied);
    }
    if (const auto* recorded = Image.FindSignature(Hashed->first); recorded != nullptr) {
        return WithStatus(*recorded, kOk);
    }
    if (Hashed->first.Df == TDf::TachographG2) {
        // Le 00: the signature is as long as the key's curve makes it.
        if (apdu[4] != 0x00 || !Image.SigningKeyG2) {
            return Status(apdu[4] != 0x00 ? kWrongLength : kConditionsNotSatisfied);
        }
        const crypto::TEcPrivateKey& key = *Image.SigningKeyG2;
        return WithStatus(crypto::SignEcdsa(key, crypto::HashFor(key.Curve, Hashed->second)), kOk);
    }
    if (!Image.SigningKey) {
        return Status(kConditionsNotSatisfied);
    }
    TBytes signature = CachedSignature(*Image.SigningKey, Hashed->second);
    signature.resize(kSignatureLength);
    return WithStatus(std::move(signature), kOk);
}

std::vector<std::uint8_t> TDriverCard::UpdateBinary(const std::vector<std::uint8_t>& apdu) {
    if (apdu.size() < 5 || apdu.size() != 5u + apdu[4] || apdu[4] == 0) {
        return Status(kWrongLength);
    }
    if (!CurrentEf) {
        return Status(kNoCurrentEf);
    }
    const auto offset = static_cast<std::size_t>((apdu[2] & 0x7F) << 8 | apdu[3]);
    std::vector<std::uint8_t> contents = *Image.Find(*CurrentEf);
    if (offset + apdu[4] > contents.size()) {
        return Status(kWrongOffset);
    }
    std::copy(apdu.begin() + 5, apdu.end(), contents.begin() + static_cast<std::ptrdiff_t>(offset));
    Image.Set(*CurrentEf, std::move(contents));
    return Status(kOk);
}

void TDriverCard::Reset() {
    std::lock_guard guard(Lock);
    CurrentDf = TDf::Master;
    CurrentEf.reset();
    Hashed.reset();
}

void TDriverCard::FailInstruction(std::uint8_t cla, std::uint8_t ins, std::uint16_t statusWord,
                                  std::optional<TFileRef> file) {
    std::lock_guard guard(Lock);
    FailedInstructions.insert({{cla, ins}, {statusWord, file}});
}

void TDriverCard::AnswerCommand(std::vector<std::uint8_t> apdu,
                                std::vector<std::uint8_t> response) {
    std::lock_guard guard(Lock);
    Answers[std::move(apdu)] = std::move(response);
}

std::vector<std::uint8_t> TDriverCard::FileContents(TFileRef file) const {
    std::lock_guard guard(Lock);
    const auto* contents = Image.Find(file);
    return contents == nullptr ? std::vector<std::uint8_t>() : *contents;
}

void TDriverCard::FailCommand(std::vector<std::uint8_t> apdu, std::uint16_t statusWord) {
    std::lock_guard guard(Lock);
    FailedCommands[std::move(apdu)] = statusWord;
}

void TDriverCard::FailRead(TFileRef file, std::uint16_t offset, std::uint16_t statusWord) {
    std::lock_guard guard(Lock);
    FailedReads[{file, offset}] = statusWord;
}

void TDriverCard::SetUnreadable(TFileRef file, std::uint16_t statusWord) {
    std::lock_guard guard(Lock);
    UnreadableFiles[file] = statusWord;
}

void TDriverCard::ServeExtendedLength(bool serve) {
    std::lock_guard guard(Lock);
    ExtendedLength = serve;
}

void TDriverCard::AnnounceExtendedLengthInAtrInfo() {
    std::lock_guard guard(Lock);
    MasterSelectable = true;
    // The card capabilities object: its third byte says extended Lc and Le.
    Image.Set({TDf::Master, kAtrInfoFid}, {0x47, 0x03, 0x00, 0x00, 0x40});
}

void TDriverCard::RemoveAfter(int commands) {
    std::lock_guard guard(Lock);
    CommandsLeft = std::max(commands, 0);
}

bool TDriverCard::Removed() const {
    std::lock_guard guard(Lock);
    return CommandsLeft && *CommandsLeft == 0;
}

int TDriverCard::Commands() const {
    std::lock_guard guard(Lock);
    return Answered;
}

} // namespace cardsim
