// The read button's download: from the press to the closing message.
#include "archive/Archive.h"
#include "cardfile/CardFile.h"
#include "cardfile/RootKeyFile.h"
#include "main/CardDownloadFile.h"
#include "main/CardSession.h"
#include "platform/Platform.h"

#include <algorithm>

namespace {

bool CardPresent(std::uint8_t state) {
    return state == csExclusive || state == csShared || state == csAvailable;
}

} // namespace

bool TCardSession::VerifyDownload() {
    const cardfile::TRootKeyLookup root = FRootKeyPath.empty()
                                              ? cardfile::FindRootKey(platform::ExecutableDir())
                                              : cardfile::LoadRootKey(FRootKeyPath);
    if (!root.Key) {
        AddLog("Signatures not checked: " + root.Error);
        return true;
    }
    // What this download wrote, not the file by its name: another download
    // may have replaced that since.
    const cardfile::TBytes bytes(FWrittenBytes.begin(), FWrittenBytes.end());
    const std::string rootG2Path =
        FRootG2Path.empty() ? cardfile::FindRootG2(platform::ExecutableDir()) : FRootG2Path;
    std::optional<cardfile::TBytes> rootG2;
    if (!rootG2Path.empty()) {
        rootG2 = cardfile::ReadWholeFile(rootG2Path);
        if (!rootG2) {
            AddLog("G2 signatures not checked: " + rootG2Path + " cannot be read");
        }
    }
    const cardfile::TReport report =
        cardfile::Verify(bytes, &*root.Key, rootG2 ? &*rootG2 : nullptr);
    for (const std::string& note : report.Notes) {
        AddLog(note);
    }
    // A part left unchecked is not held against the download: only what was
    // checked and found wrong is.
    const char* verdict = report.AllValid()         ? "Signatures valid: "
                          : report.ValidAsChecked() ? "Signatures not checked in full: "
                                                    : "Signatures NOT valid: ";
    AddLog(verdict + report.Summary() + " (root key " + root.Path + ")");
    return report.ValidAsChecked();
}

void TCardSession::SaveDownload(const TCardIdentity& identity, const std::string& fileError) {
    TDownloadOutcome& outcome = FLastOutcome;
    if (!fileError.empty()) {
        outcome.Error = fileError;
        outcome.Saved = false;
        AddLog("Result: not saved, " + fileError + " (" + FOutputPath + ")");
        return;
    }
    outcome.Whole = identity.Complete && CardNumberRead(identity.CardNumber);
    outcome.Signed = identity.NotSignedByCard == 0;
    const std::string whole = std::string(outcome.Whole ? "whole" : "not whole") +
                              (outcome.Signed ? "" : ", not signed by the card") +
                              (outcome.SignaturesValid ? "" : ", signatures not valid");
    // The archive could not take it: kept under a name of its own.
    if (!outcome.Error.empty()) {
        AddLog(
            "Result: " +
            (outcome.Saved ? "saved as " + outcome.Path + " only, " : std::string("not saved, ")) +
            whole + "; not archived: " + outcome.Error);
        return;
    }
    // The register takes what the archive keeps, once it is there.
    if (!FArchiveFolder.empty() && CardNumberRead(identity.CardNumber) &&
        !identity.DownloadName.empty()) {
        RecordDownload(identity, outcome);
    }
    AddLog("Result: saved as " + outcome.Path + ", " + whole);
}

bool CardNumberRead(const std::string& cardNumber) {
    return std::any_of(cardNumber.begin(), cardNumber.end(),
                       [](char c) { return static_cast<unsigned char>(c) > 0x20; });
}

TCardDownload TCardSession::DownloadCard(TReaderObject& reader, SCARDCONTEXT context) {
    TCardDownload download;
    FDownloadContext = context;
    struct TForget {
        SCARDCONTEXT& Context;
        ~TForget() { Context = 0; }
    } forget{FDownloadContext};
    if (reader.CardHandle == pcsc::kNoCardHandle) {
        const pcsc::TResult result = reader.Connect(*FPCSC, context, SCARD_SHARE_SHARED);
        if (result != pcsc::kSuccess) {
            AddLog("SCardConnect failed with error code " + ResultHex(result) + " ");
            AddLog(ResultNameLine(result));
            return download;
        }
        AddLog("SCardConnect succeeded.");
    }
    download.Connected = true;
    AddLog("ATR = " + reader.ATR);
    // The card is this download's alone until its end: another program's
    // commands would land between ours and make both files garbage. The
    // service makes another program's transaction wait for ours, and ours
    // for its.
    pcsc::TResult held = FPCSC->BeginTransaction(reader.CardHandle);
    // Another program that finished with the card between our connection and
    // our transaction may have reset it: a new connection takes it as it is.
    if (held == pcsc::kResetCard) {
        DisconnectCard(reader);
        held = reader.Connect(*FPCSC, context, SCARD_SHARE_SHARED);
        if (held == pcsc::kSuccess) {
            held = FPCSC->BeginTransaction(reader.CardHandle);
        }
    }
    if (held != pcsc::kSuccess) {
        AddLog("SCardBeginTransaction failed with error code " + ResultHex(held) + " ");
        AddLog(ResultNameLine(held));
        if (held == pcsc::kSharingViolation || held == pcsc::kTimeout) {
            download.InUse = true;
            AddLog(FCroatian ? kCardInUseCroatian : kCardInUseEnglish);
        }
        // No card to read: the download is over as a failed connection is,
        // and its lines say why.
        download.Connected = download.InUse;
        DisconnectCard(reader);
        return download;
    }
    try {
        download.Identity = ReadCardFiles(reader);
    } catch (const TFileError& error) {
        // The file is closed already; the card is released as after any download.
        download.FileError = error.what();
        download.ErrorNumber = error.ErrorNumber();
    } catch (const TDownloadStopped&) {
        // The file was closed on the way out; the card is released all the same.
        download.Stopped = true;
    }
    FPCSC->EndTransaction(reader.CardHandle, SCARD_LEAVE_CARD);
    const pcsc::TResult result = DisconnectCard(reader);
    if (result == pcsc::kSuccess) {
        AddLog("SCardDisconnect succeeded.");
    } else {
        AddLog("SCardDisconnect failed with error code " + ResultHex(result) + " ");
        AddLog(ResultNameLine(result));
    }
    if (!download.Stopped && download.FileError.empty() && FLastOutcome.Saved &&
        CardNumberRead(download.Identity.CardNumber)) {
        download.SignaturesValid = VerifyDownload();
    }
    return download;
}

TCardDownload TCardSession::RunCardDownload(TReaderObject& reader) {
    return DownloadCard(reader, FContext);
}

void TCardSession::BitBtn1Click() {
    ShowDownloadName({});
    FStopRequested = false;
    TCardIdentity identity;
    FLastIdentity = {};
    FLastOutcome = {};
    TReaderObject* reader = SelectedReader();
    if (reader == nullptr) {
        return;
    }
    const std::uint32_t startTick = platform::TickCount32();
    BeginLogUpdate();
    const std::string savedCaption = ReadButtonCaption();
    SetReadButton(FCroatian ? "Čitanje u tijeku..." : "Reading...", false);
    auto restoreButton = [&] {
        SetReadButton(savedCaption, false);
        UpdateReadButton();
    };

    std::string fileError;
    if (CardPresent(reader->CardState)) {
        const TCardDownload download = RunCardDownload(*reader);
        if (download.InUse) {
            EndLogUpdate();
            ShowError(FCroatian ? kCardInUseCroatian : kCardInUseEnglish);
            restoreButton();
            return;
        }
        if (!download.Connected || download.Stopped) {
            // A failed connection is logged and is all there is; a stopped
            // download ends with the window, which needs no message, and
            // leaves nothing but the log's account of it.
            if (download.Stopped) {
                AddLog("Result: not saved, the download was stopped before every file was read");
            }
            EndLogUpdate();
            restoreButton();
            return;
        }
        identity = download.Identity;
        fileError = download.FileError;
        if (fileError.empty()) {
            FLastIdentity = identity;
        } else {
            FLastOutcome.ErrorNumber = download.ErrorNumber;
            FLastOutcome.ErrorPath = FOutputPath;
        }
        FLastOutcome.SignaturesValid = download.SignaturesValid;
        SaveDownload(identity, fileError);
    }
    // A modal box runs the event loop, which may free the reader object: it is
    // not touched from here on.
    reader = nullptr;
    EndLogUpdate();
    const std::uint32_t elapsed = platform::TicksBetween(startTick, platform::TickCount32());

    if (!fileError.empty()) {
        // The download failed and the error says so; no closing message.
        ShowError(fileError);
    } else {
        std::string message;
        if (!CardNumberRead(identity.CardNumber)) {
            message = "Nije umetnuta kartica vozača!";
        } else {
            message = "Kartica: " + platform::Iso8859ToUtf8(identity.CardNumber, 1) +
                      "\rVozac: " + identity.DriverDisplay;
            if (identity.Generation == 2) {
                message += std::string("\r") +
                           (FCroatian ? kSecondGenerationCroatian : kSecondGenerationEnglish);
            }
            if (!identity.Complete) {
                message += std::string("\r\r") + kIncompleteWarning;
            }
            if (identity.NotSignedByCard > 0) {
                message +=
                    std::string("\r\r") + (FCroatian ? kNotSignedCroatian : kNotSignedEnglish);
            }
        }
        // Kept in the working file only: said, so that nobody looks for it
        // in the archive.
        if (!FLastOutcome.Error.empty()) {
            message += std::string("\r\r") +
                       (FCroatian ? "Nije spremljeno u arhivu: " : "Not saved in the archive: ") +
                       FLastOutcome.Error;
        }
        message += "\r\rObrada: " + std::to_string(elapsed) + "ms";
        ShowMessage(message);
    }
    restoreButton();
}
