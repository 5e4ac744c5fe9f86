// bench_download_minimal: the least a program has to do to read the sample
// driver card with the very exchanges dravik-download makes, as the baseline
// of the download benchmark. One context, one shared connection to the first
// virtual reader, the same SELECT and READ BINARY commands in the same order,
// each signed file hashed before and signed after its read, the card's last
// download date written at the end, the card released unpowered; the card
// download file written as a download must write it, each record and each
// chunk handed to the system as soon as it is complete; no log, no watcher,
// no check of the signatures.
//
// Usage: bench_download_minimal [--startup | --connect | --fsync] [FILE]
// FILE: the card download file; without it none is written. --fsync: the file
// is flushed to disk before it is closed, the least that keeps a download
// as the archive keeps it.
//
// For the benchmark's account of where the time goes, two parts of it alone:
// --startup ends as soon as main() is reached (the process and its loading),
// --connect ends once the card is connected, before any exchange.
//
// Exit status: 0 every command answered 9000; 1 an exchange failed or was
// refused; 2 the library, the service or the card could not be reached.
#include "smartcard/PCSCRaw.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

constexpr char kReader[] = "Virtual PCD 00 00";
constexpr std::size_t kChunkLength = 250;
constexpr std::size_t kAddressableBytes = 0x8000;
constexpr std::uint16_t kApplicationIdentification = 0x0501;

using TCommand = std::vector<std::uint8_t>;

TCommand Select(std::uint16_t fid) {
    return {0x00,
            0xA4,
            0x02,
            0x0C,
            0x02,
            static_cast<std::uint8_t>(fid >> 8),
            static_cast<std::uint8_t>(fid & 0xFF)};
}

const TCommand kPerformHash = {0x80, 0x2A, 0x90, 0x00};
const TCommand kComputeSignature = {0x00, 0x2A, 0x9E, 0x9A, 0x80};

bool IsSigned(std::uint16_t fid) {
    return fid >> 8 == 0x05;
}

TCommand UpdateLastDownload(std::uint32_t seconds) {
    return {0x00,
            0xD6,
            0x00,
            0x00,
            0x04,
            static_cast<std::uint8_t>(seconds >> 24),
            static_cast<std::uint8_t>(seconds >> 16),
            static_cast<std::uint8_t>(seconds >> 8),
            static_cast<std::uint8_t>(seconds)};
}

TCommand Read(std::size_t offset, std::size_t length) {
    return {0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8),
            static_cast<std::uint8_t>(offset & 0xFF), static_cast<std::uint8_t>(length)};
}

class TConnection {
public:
    TConnection(const TPCSCRaw& pcsc, SCARDHANDLE card, DWORD protocol)
        : Pcsc(pcsc), Card(card),
          Pci(protocol == SCARD_PROTOCOL_T0 ? &pcsc::kPciT0 : &pcsc::kPciT1) {}
    ~TConnection() { Pcsc.Disconnect(Card, SCARD_UNPOWER_CARD); }
    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    // The answer's data in Data; false unless the exchange worked and the card
    // said 9000.
    bool Send(const TCommand& command) {
        DWORD length = Answer.size();
        if (Pcsc.Transmit(Card, Pci, command.data(), static_cast<DWORD>(command.size()), nullptr,
                          Answer.data(), &length) != pcsc::kSuccess ||
            length < 2 || length > Answer.size() || Answer[length - 2] != 0x90 ||
            Answer[length - 1] != 0x00) {
            return false;
        }
        Data.assign(Answer.begin(), Answer.begin() + static_cast<std::ptrdiff_t>(length - 2));
        return true;
    }

    std::vector<std::uint8_t> Data;

private:
    const TPCSCRaw& Pcsc;
    SCARDHANDLE Card;
    const SCARD_IO_REQUEST* Pci;
    std::array<std::uint8_t, 261> Answer{};
};

// The card download file: records of file identifier, type, 16-bit length and
// data, written piece by piece as they come.
class TFile {
public:
    TFile(const char* path, bool durable)
        : Durable(durable),
          Handle(path == nullptr
                     ? -1
                     : ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600)),
          Failure(path != nullptr && Handle < 0) {}
    ~TFile() {
        if (Handle >= 0) {
            ::close(Handle);
        }
    }
    // Flushed to disk when it is to be durable.
    void Finish() {
        if (Handle >= 0 && Durable && ::fsync(Handle) != 0) {
            Failure = true;
        }
    }
    TFile(const TFile&) = delete;
    TFile& operator=(const TFile&) = delete;

    bool Failed() const { return Failure; }
    void Write(const std::uint8_t* data, std::size_t length) {
        while (Handle >= 0 && length > 0) {
            const ssize_t written = ::write(Handle, data, length);
            if (written <= 0) {
                Failure = true;
                return;
            }
            data += written;
            length -= static_cast<std::size_t>(written);
        }
    }
    void Header(std::uint16_t fid, std::uint8_t type, std::size_t length) {
        const std::uint8_t head[5] = {
            static_cast<std::uint8_t>(fid >> 8), static_cast<std::uint8_t>(fid & 0xFF), type,
            static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF)};
        Write(head, sizeof(head));
    }
    // A record whose data is all there: header and data in one write.
    void Record(std::uint16_t fid, std::uint8_t type, const std::vector<std::uint8_t>& data) {
        std::vector<std::uint8_t> record{static_cast<std::uint8_t>(fid >> 8),
                                         static_cast<std::uint8_t>(fid & 0xFF), type,
                                         static_cast<std::uint8_t>(data.size() >> 8),
                                         static_cast<std::uint8_t>(data.size() & 0xFF)};
        record.insert(record.end(), data.begin(), data.end());
        Write(record.data(), record.size());
    }

private:
    const bool Durable;
    const int Handle;
    bool Failure;
};

std::size_t ByteAt(const std::vector<std::uint8_t>& data, std::size_t index) {
    return index < data.size() ? data[index] : 0;
}

bool ReadCard(TConnection& card, TFile& out) {
    struct TFixed {
        std::uint16_t Fid;
        std::size_t Length;
    };
    const TFixed before[] = {{0x0002, 0x19}, {0x0005, 0x08}};
    const TFixed after[] = {{kApplicationIdentification, 0x0A},
                            {0xC100, 0xC2},
                            {0xC108, 0xC2},
                            {0x0520, 0x8F},
                            {0x050E, 0x04},
                            {0x0521, 0x35},
                            {0x0507, 0x13},
                            {0x0508, 0x2E}};
    const TCommand selectTachograph{0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF,
                                    0x54, 0x41, 0x43, 0x48, 0x4F};

    for (const TFixed& file : before) {
        if (!card.Send(Select(file.Fid)) || !card.Send(Read(0, file.Length))) {
            return false;
        }
        out.Record(file.Fid, 0x00, card.Data);
    }
    if (!card.Send(selectTachograph)) {
        return false;
    }
    std::vector<std::uint8_t> sizes;
    for (const TFixed& file : after) {
        const bool signedFile = IsSigned(file.Fid);
        if (!card.Send(Select(file.Fid)) || (signedFile && !card.Send(kPerformHash)) ||
            !card.Send(Read(0, file.Length))) {
            return false;
        }
        if (file.Fid == kApplicationIdentification) {
            sizes = card.Data;
        }
        out.Record(file.Fid, 0x00, card.Data);
        if (signedFile) {
            if (!card.Send(kComputeSignature)) {
                return false;
            }
            out.Record(file.Fid, 0x01, card.Data);
        }
    }

    // The sized files, their sizes from the counts of EF Application_Identification.
    const std::size_t activityLength = ByteAt(sizes, 5) * 256 + ByteAt(sizes, 6);
    const std::size_t vehicles = ByteAt(sizes, 7) * 256 + ByteAt(sizes, 8);
    const TFixed sized[] = {{0x0522, 280},
                            {0x0502, ByteAt(sizes, 3) * 144},
                            {0x0503, ByteAt(sizes, 4) * 48},
                            {0x0505, vehicles * 31 + 2},
                            {0x0506, ByteAt(sizes, 9) * 10 + 1},
                            {0x0504, activityLength + 4}};
    for (const TFixed& file : sized) {
        if (!card.Send(Select(file.Fid)) || !card.Send(kPerformHash)) {
            return false;
        }
        const std::size_t limit = std::min<std::size_t>(file.Length & 0xFFFF, kAddressableBytes);
        out.Header(file.Fid, 0x00, limit);
        for (std::size_t offset = 0; offset < limit; offset += kChunkLength) {
            if (!card.Send(Read(offset, std::min(kChunkLength, limit - offset)))) {
                return false;
            }
            out.Write(card.Data.data(), card.Data.size());
        }
        if (!card.Send(kComputeSignature)) {
            return false;
        }
        out.Record(file.Fid, 0x01, card.Data);
    }
    // The second application's probe, which the first-generation sample
    // answers 6A82: its answer ends nothing.
    card.Send({0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x53, 0x4D, 0x52, 0x44, 0x54});
    // Whether the card takes its last download date or not, the download is done.
    if (!card.Send(Select(0x050E))) {
        return false;
    }
    out.Finish();
    card.Send(UpdateLastDownload(static_cast<std::uint32_t>(std::time(nullptr))));
    return !out.Failed();
}

} // namespace

int main(int argc, char* argv[]) {
    const bool startUp = argc > 1 && std::strcmp(argv[1], "--startup") == 0;
    const bool connectOnly = argc > 1 && std::strcmp(argv[1], "--connect") == 0;
    if (startUp) {
        return 0;
    }
    const bool durable = argc > 1 && std::strcmp(argv[1], "--fsync") == 0;
    const int fileArgument = connectOnly || durable ? 2 : 1;
    const char* path = argc > fileArgument ? argv[fileArgument] : nullptr;
    TPCSCRaw pcsc;
    SCARDCONTEXT context = 0;
    if (pcsc.Load() != 0 ||
        pcsc.EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != pcsc::kSuccess) {
        return 2;
    }
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    if (pcsc.Connect(context, kReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                     &handle, &protocol) != pcsc::kSuccess) {
        return 2;
    }
    TConnection card(pcsc, handle, protocol);
    if (connectOnly) {
        return 0;
    }
    TFile out(path, durable);
    return ReadCard(card, out) ? 0 : 1;
}
