// fuzz_download_seed FILE: writes the answers the sample driver card gives to
// the read button's download, in fuzz_download's input form, as its seed.
#include "AnswerScript.h"
#include "FakePcsc.h"
#include "QuietSession.h"
#include "cardsim/DriverCard.h"
#include "cardsim/SampleCard.h"
#include "platform/Thread.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: fuzz_download_seed FILE\n");
        return 2;
    }
    const std::string reader = "Seed Reader 00";
    cardsim::TDriverCard card(cardsim::BuildDriverCard());
    std::vector<std::uint8_t> script;
    bool tooLong = false;
    fakepcsc::Reset();
    fakepcsc::AddReader(reader);
    fakepcsc::InsertCard(reader, {0x3B, 0x80, 0x80, 0x01, 0x01}, fakepcsc::TProtocol::T1,
                         [&](const std::vector<std::uint8_t>& apdu) {
                             std::vector<std::uint8_t> answer = card.Process(apdu);
                             tooLong = tooLong || answer.size() >= answerscript::kLengths;
                             answerscript::Append(script, answer);
                             return answer;
                         });

    const std::string folder = std::filesystem::temp_directory_path() / "dravik-fuzz-seed";
    std::filesystem::create_directories(folder);
    TQuietSession session;
    session.FOutputPath = folder + "/tmp.ddd";
    session.InitSmartCard(FAKEPCSC_PATH);
    {
        TReaderObject object(reader, *session.FPCSC);
        session.Reader = &object;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (object.CardState != csAvailable && std::chrono::steady_clock::now() < end) {
            mainthread::RunPending();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        session.BitBtn1Click();
    }
    session.FPCSC->ReleaseContext(session.FContext);
    std::filesystem::remove_all(folder);
    if (tooLong || !session.FLastIdentity.Complete || !session.Error.empty()) {
        std::fprintf(stderr, "fuzz_download_seed: the sample card was not read whole\n");
        return 1;
    }
    std::ofstream(argv[1], std::ios::binary)
        .write(reinterpret_cast<const char*>(script.data()),
               static_cast<std::streamsize>(script.size()));
    std::printf("%zu answers' worth, %zu bytes\n", fakepcsc::Calls("SCardTransmit").size(),
                script.size());
    return 0;
}
