// A virtual card for vpcd, the virtual reader driver of pcscd: connecting to
// the reader's port inserts the card, closing the connection removes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace vpcd {

constexpr int kDefaultPort = 35963;

// Answers one command APDU with a response APDU. An empty answer pulls the card.
using TApduHandler = std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>&)>;

// ATRs from which pcscd takes T=0 or T=1.
const std::vector<std::uint8_t>& AtrT0();
const std::vector<std::uint8_t>& AtrT1();
// T=1 with the card capabilities (historical bytes, compact-TLV tag 7) saying
// that the card takes extended Lc and Le fields.
const std::vector<std::uint8_t>& AtrT1Extended();

class TVpcdCard {
public:
    TVpcdCard(std::vector<std::uint8_t> atr, TApduHandler handler);
    ~TVpcdCard();
    TVpcdCard(const TVpcdCard&) = delete;
    TVpcdCard& operator=(const TVpcdCard&) = delete;

    // Inserts the card: connects to vpcd and serves it on a thread of its own.
    // False (with `error` set) when vpcd cannot be reached.
    bool Insert(const std::string& host, int port, std::string* error = nullptr);
    // Removes the card: closes the connection and waits for the thread.
    void Remove();
    bool Inserted() const { return Socket >= 0 && !Closed; }
    // Serves on the calling thread until the card is removed or vpcd goes away.
    void Serve();
    int Commands() const { return CommandCount; }

    // Runs on the serving thread when vpcd powers the card on or resets it.
    std::function<void()> OnReset;

private:
    bool ReadExact(std::uint8_t* buffer, std::size_t length);
    bool WriteMessage(const std::vector<std::uint8_t>& payload);

    std::vector<std::uint8_t> Atr;
    TApduHandler Handler;
    int Socket = -1;
    std::atomic<bool> Closed{false};
    std::atomic<int> CommandCount{0};
    std::thread Server;
};

} // namespace vpcd
