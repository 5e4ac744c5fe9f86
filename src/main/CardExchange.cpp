// The command exchange: card commands written as hexadecimal text go to the
// reader object as bytes; the answer is kept in the three response fields.
#include "main/CardSession.h"

#include <algorithm>
#include <array>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Value of one upper-case hexadecimal digit, or -1 for anything else.
int DigitValue(char digit) {
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    return -1;
}

char UpperCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

std::uint8_t HexByteValue(char high, char low) {
    // Callers pass digits only; anything else counts as 0 rather than a wild value.
    const int h = std::max(DigitValue(high), 0);
    const int l = std::max(DigitValue(low), 0);
    return static_cast<std::uint8_t>(h * 16 + l);
}

std::size_t HexToBytes(const std::string& text, std::uint8_t* buffer, std::size_t capacity) {
    std::size_t count = 0;
    char high = 0;
    bool haveHigh = false;
    for (const char raw : text) {
        if (count >= capacity) {
            break;
        }
        const char digit = UpperCase(raw);
        if (DigitValue(digit) < 0) {
            continue;
        }
        if (!haveHigh) {
            high = digit;
            haveHigh = true;
        } else {
            buffer[count++] = HexByteValue(high, digit);
            haveHigh = false;
        }
    }
    // An odd digit count: the last digit is the high half of a last byte.
    if (haveHigh && count < capacity) {
        buffer[count++] = HexByteValue(high, '0');
    }
    return count;
}

void TCardSession::StoreResponse(const std::uint8_t* bytes, DWORD count) {
    FResponseData.clear();
    FResponseHex.clear();
    if (count < 2) {
        return;
    }
    const std::uint8_t sw1 = bytes[count - 2];
    const std::uint8_t sw2 = bytes[count - 1];
    FStatusWord = {kHexDigits[sw1 >> 4], kHexDigits[sw1 & 0x0F], kHexDigits[sw2 >> 4],
                   kHexDigits[sw2 & 0x0F]};
    const std::size_t dataLength = count - 2;
    FResponseData.assign(reinterpret_cast<const char*>(bytes), dataLength);
    // The hex text is for the log alone, and written digit by digit into a
    // string of its final size: appended a character at a time it cost more
    // than the whole exchange with pcscd.
    if (!WantsLog()) {
        return;
    }
    FResponseHex.resize(dataLength * 3);
    char* out = FResponseHex.data();
    for (std::size_t i = 0; i < dataLength; ++i) {
        *out++ = kHexDigits[bytes[i] >> 4];
        *out++ = kHexDigits[bytes[i] & 0x0F];
        *out++ = ' ';
    }
}

pcsc::TResult TCardSession::SendCommand(TReaderObject& reader, const std::string& command,
                                        std::size_t expected) {
    if (FStopRequested && !FHoldStop) {
        throw TDownloadStopped();
    }
    FStatusWord.clear();
    std::array<std::uint8_t, kExchangeBufferSize> commandBytes{};
    std::array<std::uint8_t, kExchangeBufferSize> smallResponse{};
    std::uint8_t* response = smallResponse.data();
    std::size_t capacity = smallResponse.size();
    if (expected + 2 > capacity) {
        FLargeResponse.resize(std::max(FLargeResponse.size(), expected + 2));
        response = FLargeResponse.data();
        capacity = FLargeResponse.size();
    }
    const std::size_t count = HexToBytes(command, commandBytes.data(), commandBytes.size());
    auto responseLength = static_cast<DWORD>(capacity);
    const pcsc::TResult result = reader.Transmit(
        *FPCSC, commandBytes.data(), static_cast<DWORD>(count), response, &responseLength);
    if (result == pcsc::kSuccess) {
        // A library that reports more than the buffer holds must not make us read past it.
        StoreResponse(response, std::min<DWORD>(responseLength, static_cast<DWORD>(capacity)));
    } else {
        AddLog("SCardTransmit failed with error code " + ResultHex(result) + " ");
        AddLog(ResultNameLine(result));
    }
    return result;
}

pcsc::TResult TCardSession::ConnectCard(TReaderObject& reader, bool exclusive) {
    return reader.Connect(*FPCSC, FContext, exclusive ? SCARD_SHARE_EXCLUSIVE : SCARD_SHARE_SHARED);
}

pcsc::TResult TCardSession::DisconnectCard(TReaderObject& reader) {
    return reader.Disconnect(*FPCSC);
}

bool TCardSession::ReattachCard(TReaderObject& reader) {
    DisconnectCard(reader);
    pcsc::TResult result = reader.Connect(
        *FPCSC, FDownloadContext != 0 ? FDownloadContext : FContext, SCARD_SHARE_SHARED);
    if (result == pcsc::kSuccess) {
        result = FPCSC->BeginTransaction(reader.CardHandle);
    }
    if (result != pcsc::kSuccess) {
        AddLog("Connecting again failed with error code " + ResultHex(result) + " ");
        AddLog(ResultNameLine(result));
    }
    return result == pcsc::kSuccess;
}
