// A first-generation tachograph driver card that answers command APDUs, with
// faults that a test can script.
//
// Commands (CLA 00 only, else 6E00; other instructions 6D00; an APDU of the
// wrong length for its command, or shorter than four bytes, 6700):
// - SELECT by file identifier, 00 A4 02 0C 02 hi lo: an EF of the current DF.
//   After power-on the current DF is the master file, which holds EF ICC and
//   EF IC; the tachograph EFs can be selected only once DF Tachograph is.
// - SELECT by application name, 00 A4 04 0C 06 FF 54 41 43 48 4F: makes DF
//   Tachograph current, with no EF selected; FF 53 4D 52 44 54 makes DF
//   Tachograph_G2 current on a card whose image has files there (a
//   first-generation card answers it 6A82).
//   Both answer 9000 without data. An unknown file or name answers 6A82; any
//   other P1 or P2 6A86. A failed SELECT keeps the current DF but leaves no EF
//   selected, so a READ BINARY after it never reads the file selected before.
// - READ BINARY, 00 B0 P1 P2 Le, offset ((P1 & 0x7F) << 8) | P2, Le 00 = 256:
//   6986 with no EF selected, 6B00 for an offset past the end of the EF,
//   the remaining bytes and 6282 when fewer than Le remain (none at the very
//   end), else Le bytes and 9000. A card that serves extended length takes
//   00 B0 P1 P2 00 Le1 Le2 too (Le 0000 = 65536); any other card answers
//   that 6700, as a card without it does.
// - PERFORM HASH OF FILE, 80 2A 90 00: SHA-1 of the selected EF's whole
//   contents, kept until the next hash; a SELECT by name or a reset forgets
//   it. 6986 with no EF selected.
// - PSO: COMPUTE DIGITAL SIGNATURE, 00 2A 9E 9A 80: the 128-byte signature of
//   the hashed file (the image's recorded one, else made with its key) and
//   9000; 6985 without a hash or with neither. A file of DF Tachograph_G2 is
//   signed with the image's ECDSA key, plain r || s, and only with Le 00. CLA 80 is taken only for
//   the hash, as the card does.
// - UPDATE BINARY, 00 D6 P1 P2 Lc data: writes into the selected EF; 6986
//   with no EF selected, 6B00 past its end.
//
// Every public member may be called from any thread: a virtual card serves
// Process on a thread of its own while the test scripts faults.
#pragma once

#include "cardsim/CardImage.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace cardsim {

class TDriverCard {
public:
    explicit TDriverCard(TCardImage image);

    // One command APDU in, the response APDU (data, SW1, SW2) out. Empty once
    // the card has been removed.
    std::vector<std::uint8_t> Process(const std::vector<std::uint8_t>& apdu);

    // Power-on state again: master file current, no EF selected. Faults stay.
    void Reset();

    // That exact command answers the status word alone, every time, without
    // being carried out (a SELECT so answered still leaves no EF selected).
    void FailCommand(std::vector<std::uint8_t> apdu, std::uint16_t statusWord);
    // A READ BINARY of the file starting at that offset answers the status word.
    void FailRead(TFileRef file, std::uint16_t offset, std::uint16_t statusWord);
    // Every READ BINARY of the file answers the status word (6982: security
    // status not satisfied). The file can still be selected.
    void SetUnreadable(TFileRef file, std::uint16_t statusWord = 0x6982);
    // Every command of that class and instruction answers the status word,
    // only while `file` is the selected EF when one is given (PERFORM HASH is
    // 80 2A, PSO 00 2A, UPDATE BINARY 00 D6).
    void FailInstruction(std::uint8_t cla, std::uint8_t ins, std::uint16_t statusWord,
                         std::optional<TFileRef> file = std::nullopt);
    // That exact command gets that whole response APDU (data and status word).
    void AnswerCommand(std::vector<std::uint8_t> apdu, std::vector<std::uint8_t> response);
    // READ BINARY with an extended Le (three bytes) is served; without it, 6700.
    void ServeExtendedLength(bool serve);
    // The MF can be selected (00 A4 00 0C 02 3F 00), and EF ATR/INFO (2F01)
    // under it says in its card capabilities that extended length is taken.
    // Without it the card answers such a SELECT 6A86, as first-generation
    // cards do.
    void AnnounceExtendedLengthInAtrInfo();
    // The next `commands` commands are answered; from then on the card is gone.
    void RemoveAfter(int commands);

    bool Removed() const;
    // Commands answered so far (not those that met a removed card).
    int Commands() const;
    // The file's contents now (UPDATE BINARY changes them); empty when absent.
    std::vector<std::uint8_t> FileContents(TFileRef file) const;

private:
    std::vector<std::uint8_t> Select(const std::vector<std::uint8_t>& apdu);
    std::vector<std::uint8_t> ReadBinary(const std::vector<std::uint8_t>& apdu) const;
    std::vector<std::uint8_t> PerformHash(const std::vector<std::uint8_t>& apdu);
    std::vector<std::uint8_t> ComputeSignature(const std::vector<std::uint8_t>& apdu) const;
    std::vector<std::uint8_t> UpdateBinary(const std::vector<std::uint8_t>& apdu);

    struct TInstructionFault {
        std::uint16_t StatusWord;
        std::optional<TFileRef> File;
    };

    mutable std::mutex Lock;
    TCardImage Image;
    // The file the stored hash was computed over, and its contents then.
    std::optional<std::pair<TFileRef, std::vector<std::uint8_t>>> Hashed;
    std::multimap<std::pair<std::uint8_t, std::uint8_t>, TInstructionFault> FailedInstructions;
    std::map<std::vector<std::uint8_t>, std::vector<std::uint8_t>> Answers;
    TDf CurrentDf = TDf::Master;
    std::optional<TFileRef> CurrentEf;
    std::map<std::vector<std::uint8_t>, std::uint16_t> FailedCommands;
    std::map<std::pair<TFileRef, std::uint16_t>, std::uint16_t> FailedReads;
    std::map<TFileRef, std::uint16_t> UnreadableFiles;
    std::optional<int> CommandsLeft;
    int Answered = 0;
    bool ExtendedLength = false;
    bool MasterSelectable = false;
};

} // namespace cardsim
