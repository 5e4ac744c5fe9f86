#include "Session.h"

#include "main/DownloadPlan.h"
#include "platform/Platform.h"

#include <chrono>
#include <iostream>
#include <iterator>

TReportPump::TReportPump() {
    mainthread::Adopt();
    mainthread::SetWaker([this] { Nudge(); });
}

TReportPump::~TReportPump() {
    mainthread::SetWaker({});
}

void TReportPump::Nudge() {
    {
        std::lock_guard lock(Mutex);
        Woken = true;
    }
    Wake.notify_one();
}

TCommandLineSession::~TCommandLineSession() {
    if (FContext != 0) {
        FPCSC->ReleaseContext(FContext);
    }
}

void TCommandLineSession::AddLog(const std::string& line) {
    LastLines[0].swap(LastLines[1]);
    LastLines[1] = line;
    if (line.rfind("Signatures ", 0) == 0) {
        SignatureLine = line;
    }
    if (Sinks.ToStdout) {
        std::cout << line << '\n';
    }
    if (Sinks.File != nullptr) {
        *Sinks.File << line << '\n';
    }
}

void TCommandLineSession::EndLogUpdate() {
    if (Sinks.ToStdout) {
        std::cout.flush();
    }
    if (Sinks.File != nullptr) {
        Sinks.File->flush();
    }
}

void TCommandLineSession::ShowProgress(int filesDone, int filesToDo) {
    FirstFilesToDo = filesToDo;
    static_cast<void>(filesDone);
}

void TCommandLineSession::NoteFile(std::uint16_t fid, const std::string& name, TFileStatus status,
                                   TFileSigning signing) {
    Files.push_back({fid, name, status, signing});
    FilesNoted = static_cast<int>(Files.size());
    if (!Sinks.Progress || Reader == nullptr) {
        return;
    }
    // The first application's count is known from the start; the second's
    // follows what its files say, so it is counted as it goes.
    std::string text = "Reading " + Reader->ReaderName + ": " + std::to_string(Files.size());
    if (FirstFilesToDo > 0 && static_cast<int>(Files.size()) <= FirstFilesToDo) {
        text += " / " + std::to_string(FirstFilesToDo);
    }
    ShowProgressLine(text + " files");
}

void TCommandLineSession::ShowProgressLine(std::string text) {
    if (!Sinks.Progress) {
        return;
    }
    if (text.empty()) {
        ClearProgress();
        return;
    }
    const std::size_t width = text.size();
    if (width < ProgressWidth) {
        text.append(ProgressWidth - width, ' ');
    }
    ProgressWidth = width;
    std::cerr << '\r' << text << std::flush;
}

void TCommandLineSession::ClearProgress() {
    if (ProgressWidth > 0) {
        std::cerr << '\r' << std::string(ProgressWidth, ' ') << '\r' << std::flush;
        ProgressWidth = 0;
    }
}

void TCommandLineSession::WriteLog(const std::string& lines) {
    if (lines.empty()) {
        return;
    }
    if (Sinks.ToStdout) {
        std::cout << lines << std::flush;
    }
    if (Sinks.File != nullptr) {
        *Sinks.File << lines << std::flush;
    }
}

std::unique_ptr<TCommandLineSession>
TCommandLineSession::NewReaderSession(TLogSinks sinks, std::string* error) const {
    auto session = std::make_unique<TCommandLineSession>(sinks);
    session->FCroatian = FCroatian;
    session->FUpdateCardDownload = FUpdateCardDownload;
    session->FRootKeyPath = FRootKeyPath;
    session->FRootG2Path = FRootG2Path;
    session->Recorder = Recorder;
    session->RecorderLock = RecorderLock;
    // This session loaded the library and said so; the loader only counts
    // the second load.
    if (session->FPCSC->Load() != 0) {
        *error = "cannot load the PC/SC library";
        return nullptr;
    }
    const pcsc::TResult result =
        session->FPCSC->EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &session->FContext);
    if (result != pcsc::kSuccess) {
        *error = "the PC/SC service cannot be reached (error " + ResultHex(result) + ")";
        session->FContext = 0;
        return nullptr;
    }
    return session;
}

namespace {

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string()
                                      : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

} // namespace

void TCommandLineSession::RecordDownload(const TCardIdentity& identity,
                                         const TDownloadOutcome& outcome) {
    if (Recorder == nullptr) {
        return;
    }
    registry::TDownloadFacts facts;
    facts.CardNumber = Trimmed(platform::Iso8859ToUtf8(identity.CardNumber, 1));
    facts.Driver = identity.DriverDisplay;
    facts.Generation = identity.Generation;
    facts.Whole = outcome.Whole;
    facts.Signatures = !outcome.SignaturesValid ? registry::TVerdict::NotValid
                       : !outcome.Signed        ? registry::TVerdict::NotSigned
                       : SignatureLine.rfind("Signatures valid", 0) == 0
                           ? registry::TVerdict::Valid
                           : registry::TVerdict::NotChecked;
    std::unique_lock<std::mutex> held;
    if (RecorderLock != nullptr) {
        held = std::unique_lock(*RecorderLock);
    }
    const registry::TRecorder::TNote note = Recorder->RecordDownload(outcome.Path, facts);
    const std::string line =
        registry::TRecorder::EnglishLine(note, outcome.Path, Recorder->StoreName());
    if (held) {
        held.unlock();
    }
    // As in the window: a line when the record failed or made up for one.
    if (note.Kind == registry::TRecorder::TKind::Failed || note.CaughtUp > 0) {
        AddLog(line);
    }
    if (note.Kind == registry::TRecorder::TKind::Failed) {
        // Said at once, and not only in a log nobody may keep: the office
        // must know that the register misses this download for now.
        ClearProgress();
        *Sinks.Errors << "dravik-download: " << line << '\n';
    }
}

TDownloadReport TCommandLineSession::Download(TReaderObject& reader, const TPlacement& placement) {
    Reader = &reader;
    Message.clear();
    Error.clear();
    SignatureLine.clear();
    LastLines[0].clear();
    LastLines[1].clear();
    Files.clear();
    FilesNoted = 0;
    // The first application's file count, as the window's progress counts
    // it; ShowProgress confirms it after the first file.
    FirstFilesToDo =
        6 + static_cast<int>(std::size(plan::kLaterFixedFiles) + std::size(plan::kSizedFiles));
    const bool toFile = !placement.File.empty();
    // --output FILE: the download is written beside FILE and takes its name
    // only when it is a whole driver card's; otherwise the shared working
    // file beside the program, which every finished download replaces.
    FOutputPath = placement.WorkingFile;
    FPublishWholeOnly = toFile;
    FArchiveFolder = placement.ArchiveFolder;

    TDownloadReport report;
    report.Reader = reader.ReaderName;
    const auto start = std::chrono::steady_clock::now();
    BitBtn1Click();
    ClearProgress();
    report.Milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
    report.Files = Files;
    Reader = nullptr;

    const TCardIdentity& identity = FLastIdentity;
    const TDownloadOutcome& outcome = FLastOutcome;
    if (Error == kCardInUseCroatian || Error == kCardInUseEnglish) {
        report.Error = "the card is in use by another program; nothing was read";
        report.ExitStatus = 2;
        report.Unreached = true;
        return report;
    }
    // A stop after every file was read keeps the download: it is reported
    // as any other. One before that left nothing: the session removed its
    // own working file, and only that.
    if (Stop && !outcome.Saved) {
        report.Error = "the download was stopped";
        report.ExitStatus = 2;
        return report;
    }
    if (!Error.empty()) {
        report.Error =
            FileErrorText("write", toFile ? placement.File : FOutputPath, outcome.ErrorNumber);
        report.ExitStatus = 2;
        return report;
    }
    if (Message.empty()) {
        report.Error = "the card could not be connected";
        if (!LastLines[0].empty()) {
            report.Error += ": " + Trimmed(LastLines[0]) + " " + LastLines[1];
        }
        report.ExitStatus = 2;
        report.Unreached = true;
        return report;
    }
    report.Generation = identity.Generation;
    if (CardNumberRead(identity.CardNumber)) {
        report.CardNumber = Trimmed(platform::Iso8859ToUtf8(identity.CardNumber, 1));
        report.Driver = identity.DriverDisplay;
    }
    report.Whole = outcome.Whole;
    report.Path = outcome.Path;
    if (!outcome.SignaturesValid) {
        report.Signatures = TSignatures::NotValid;
    } else if (!outcome.Signed) {
        report.Signatures = TSignatures::NotSigned;
    } else if (SignatureLine.rfind("Signatures valid", 0) == 0) {
        report.Signatures = TSignatures::Valid;
    }
    if (!outcome.Error.empty()) {
        report.Error =
            FileErrorText("archive into", outcome.ErrorPath, outcome.ErrorNumber) +
            (outcome.Saved
                 ? "; the card was not told of the download, which is kept as " + outcome.Path
                 : std::string("; the download could not be kept"));
        if (!outcome.Saved) {
            report.Path.clear();
        }
    }
    if (!report.Error.empty()) {
        report.ExitStatus = 2;
    } else if (report.CardNumber.empty()) {
        report.ExitStatus = 1;
        report.Error = "no driver card was read";
        if (toFile) {
            report.Error += "; " + placement.File + " is left as it was";
        }
    } else if (!identity.Complete) {
        report.ExitStatus = 2;
        report.Error = "the card was not read whole; the file is incomplete";
        if (toFile) {
            report.Error += "; " + placement.File + " is left as it was, and what was read is in " +
                            outcome.Path;
        }
    } else if (report.Signatures == TSignatures::NotValid) {
        report.ExitStatus = kExitSignaturesNotValid;
        report.Error = "the signatures were checked and are not valid";
    }
    return report;
}
