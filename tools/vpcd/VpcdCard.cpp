#include "vpcd/VpcdCard.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vpcd {

namespace {
// vpcd's one-byte control messages are 0 power off, 1 power on, 2 reset and
// 4 send the ATR; only the last one is answered.
constexpr std::uint8_t kPowerOn = 1;
constexpr std::uint8_t kReset = 2;
constexpr std::uint8_t kGetAtr = 4;
} // namespace

const std::vector<std::uint8_t>& AtrT0() {
    static const std::vector<std::uint8_t> atr = {0x3B, 0x02, 0x14, 0x50};
    return atr;
}

const std::vector<std::uint8_t>& AtrT1() {
    static const std::vector<std::uint8_t> atr = {0x3B, 0x80, 0x80, 0x01, 0x01};
    return atr;
}

const std::vector<std::uint8_t>& AtrT1Extended() {
    // T0 85: five historical bytes, 80 then the capabilities 73 00 00 40; the
    // last byte is the check byte that T=1 requires.
    static const std::vector<std::uint8_t> atr = {0x3B, 0x85, 0x80, 0x01, 0x80,
                                                  0x73, 0x00, 0x00, 0x40, 0xB7};
    return atr;
}

TVpcdCard::TVpcdCard(std::vector<std::uint8_t> atr, TApduHandler handler)
    : Atr(std::move(atr)), Handler(std::move(handler)) {}

TVpcdCard::~TVpcdCard() {
    Remove();
}

bool TVpcdCard::Insert(const std::string& host, int port, std::string* error) {
    Remove();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
        if (error != nullptr) {
            *error = "cannot resolve " + host;
        }
        return false;
    }
    int fd = -1;
    int lastErrno = 0;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            lastErrno = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        if (error != nullptr) {
            *error = "cannot connect to vpcd at " + host + ":" + service + ": " +
                     std::strerror(lastErrno);
        }
        return false;
    }
    // vpcd writes length and payload separately; without these its side holds
    // each payload for a delayed acknowledgement, about 40 ms a command.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof(one));
    Socket = fd;
    Closed = false;
    Server = std::thread([this] { Serve(); });
    return true;
}

void TVpcdCard::Remove() {
    if (Socket >= 0) {
        Closed = true;
        shutdown(Socket, SHUT_RDWR);
    }
    if (Server.joinable()) {
        Server.join();
    }
    if (Socket >= 0) {
        close(Socket);
        Socket = -1;
    }
}

bool TVpcdCard::ReadExact(std::uint8_t* buffer, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = recv(Socket, buffer + done, length - done, 0);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(got);
        int one = 1;
        setsockopt(Socket, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof(one));
    }
    return true;
}

bool TVpcdCard::WriteMessage(const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> message;
    message.reserve(2 + payload.size());
    message.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    message.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
    message.insert(message.end(), payload.begin(), payload.end());
    std::size_t done = 0;
    while (done < message.size()) {
        const ssize_t sent =
            send(Socket, message.data() + done, message.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) {
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

void TVpcdCard::Serve() {
    while (!Closed) {
        std::uint8_t header[2];
        if (!ReadExact(header, 2)) {
            break;
        }
        const std::size_t length = (std::size_t{header[0]} << 8) | header[1];
        std::vector<std::uint8_t> payload(length);
        if (length > 0 && !ReadExact(payload.data(), length)) {
            break;
        }
        if (length == 1) {
            if (payload[0] == kGetAtr && !WriteMessage(Atr)) {
                break;
            }
            if ((payload[0] == kPowerOn || payload[0] == kReset) && OnReset) {
                OnReset();
            }
            continue;
        }
        ++CommandCount;
        std::vector<std::uint8_t> response =
            Handler ? Handler(payload) : std::vector<std::uint8_t>{0x6D, 0x00};
        if (response.empty() || !WriteMessage(response)) {
            break; // the card was pulled
        }
    }
    Closed = true;
    shutdown(Socket, SHUT_RDWR);
}

} // namespace vpcd
