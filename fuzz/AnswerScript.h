// How fuzz_download reads its input as the card's answers, one per command,
// and how its seed is written. Each answer is a two-byte big-endian header
// whose value modulo 262 is the answer's length (0 to 261 bytes, status word
// included), then that many bytes, fewer where the input ends. Once the input
// is used up, every command gets an empty answer, which the library reports
// as a failed exchange.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace answerscript {

constexpr std::size_t kLengths = 262;

class TReader {
public:
    TReader() = default;
    TReader(const std::uint8_t* data, std::size_t size) : Data(data), Size(size) {}

    std::vector<std::uint8_t> Next() {
        if (Size - At < 2) {
            At = Size;
            return {};
        }
        const std::size_t header = static_cast<std::size_t>(Data[At]) << 8 | Data[At + 1];
        At += 2;
        const std::size_t length = std::min(header % kLengths, Size - At);
        std::vector<std::uint8_t> answer(Data + At, Data + At + length);
        At += length;
        return answer;
    }

private:
    const std::uint8_t* Data = nullptr;
    std::size_t Size = 0;
    std::size_t At = 0;
};

inline void Append(std::vector<std::uint8_t>& script, const std::vector<std::uint8_t>& answer) {
    script.push_back(static_cast<std::uint8_t>(answer.size() >> 8));
    script.push_back(static_cast<std::uint8_t>(answer.size() & 0xFF));
    script.insert(script.end(), answer.begin(), answer.end());
}

} // namespace answerscript
