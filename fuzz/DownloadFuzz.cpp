// The read button's whole download against a card that answers every command
// with bytes the input chooses (see AnswerScript.h), through the in-memory
// PC/SC library. Whatever the card says: no crash, no hang, the card released
// afterwards, log lines that are text without control characters, texts for
// the user in UTF-8, and a card download file that reads back as records
// (DownloadFileCheck.h). A file with a record cut short, or without every
// file's contents whole, must not be called a whole download.
#include "AnswerScript.h"
#include "DownloadFileCheck.h"
#include "FakePcsc.h"
#include "FuzzCheck.h"
#include "QuietSession.h"
#include "platform/Thread.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

const std::string kReader = "Fuzz Reader 00";

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool IsUtf8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t code = 0;
        std::uint32_t least = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            code = lead & 0x1F;
            least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            code = lead & 0x0F;
            least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            code = lead & 0x07;
            least = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i <= extra) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = code << 6 | (next & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

bool HasControl(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return true;
        }
    }
    return false;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One reader with one card whose answers come from the current input. Made on
// the first input; gone at exit before the in-memory library's own state.
struct TFixture {
    TFixture() {
        fakepcsc::Reset();
        fakepcsc::AddReader(kReader);
        fakepcsc::InsertCard(kReader, {0x3B, 0x80, 0x80, 0x01, 0x01}, fakepcsc::TProtocol::T1,
                             [this](const std::vector<std::uint8_t>&) { return Script.Next(); });
        Folder = (std::filesystem::temp_directory_path() / "dravik-fuzz-XXXXXX").string();
        FUZZ_CHECK(mkdtemp(Folder.data()) != nullptr);
        Session.FOutputPath = Folder + "/tmp.ddd";
        Session.InitSmartCard(FAKEPCSC_PATH);
        FUZZ_CHECK(Session.FContext != 0);
        Reader = std::make_unique<TReaderObject>(kReader, *Session.FPCSC);
        Session.Reader = Reader.get();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Reader->CardState != csAvailable && std::chrono::steady_clock::now() < end) {
            mainthread::RunPending();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        FUZZ_CHECK(Reader->CardState == csAvailable);
    }
    ~TFixture() {
        Reader.reset();
        Session.FPCSC->ReleaseContext(Session.FContext);
        std::filesystem::remove_all(Folder);
    }

    answerscript::TReader Script;
    std::string Folder;
    TQuietSession Session;
    std::unique_ptr<TReaderObject> Reader;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TFixture fixture;
    TQuietSession& session = fixture.Session;
    // The watcher's reports of the last download's connection.
    mainthread::RunPending();
    fakepcsc::ClearCalls();
    fixture.Script = answerscript::TReader(data, size);
    session.Log.clear();
    session.DownloadName.clear();
    session.Message.clear();
    session.Error.clear();

    session.BitBtn1Click();

    FUZZ_CHECK(session.Error.empty());
    FUZZ_CHECK(fixture.Reader->CardHandle == pcsc::kNoCardHandle);
    FUZZ_CHECK(fakepcsc::OpenCards() == 0);
    for (const std::string& line : session.Log) {
        FUZZ_CHECK(IsUtf8(line));
        FUZZ_CHECK(!HasControl(line));
    }
    FUZZ_CHECK(IsUtf8(session.DownloadName));
    FUZZ_CHECK(IsUtf8(session.Message));

    const bool complete = session.FLastIdentity.Complete;
    const TDownloadFileCheck check = CheckDownloadFile(ReadFile(session.FOutputPath));
    FUZZ_CHECK(check.WithShortContents != TDownloadFileCheck::Unreadable);
    if (check.Strict == TDownloadFileCheck::Unreadable) {
        // Only a record cut short makes the file readable: the download is not whole.
        FUZZ_CHECK(!complete);
    }
    if (complete) {
        FUZZ_CHECK(check.Strict == TDownloadFileCheck::Readable);
        FUZZ_CHECK(check.WholeContents == (1u << KnownFidCount()) - 1);
    }
    if (!complete && session.Message.rfind("Kartica: ", 0) == 0) {
        FUZZ_CHECK(session.Message.find(kIncompleteWarning) != std::string::npos);
    }
    return 0;
}
