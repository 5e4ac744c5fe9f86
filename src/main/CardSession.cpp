#include "main/CardSession.h"

#include "platform/Platform.h"

#include <algorithm>
#include <cstdio>

std::string ResultHex(pcsc::TResult code) {
    char text[9];
    std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(code));
    return text;
}

std::string ResultNameLine(pcsc::TResult code) {
    // Appended rather than "(" + name: GCC 12 at -O3 takes the inserting
    // operator+ for a copy that may overlap (a false -Wrestrict).
    std::string line = "(";
    line += TPCSCRaw::ResultName(code);
    line += ").";
    return line;
}

TCardSession::TCardSession()
    : FPCSC(std::make_unique<TPCSCRaw>()), FOutputPath(platform::ExecutableDir() + "/tmp.ddd") {}

TCardSession::~TCardSession() = default;

void TCardSession::InitSmartCard(const std::string& library) {
    if (FPCSC->Load(library) == 0) {
        AddLog("Winscard.dll successfully loaded.");
    } else {
        AddLog("Cannot access Winscard.dll.");
    }
    const pcsc::TResult result =
        FPCSC->EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &FContext);
    if (result == pcsc::kSuccess) {
        AddLog("SCardEstablishContext succeeded.");
    } else {
        AddLog("SCardEstablishContext failed with error code " + ResultHex(result) + " ");
        AddLog(ResultNameLine(result));
        NoteServiceResult(result);
    }
}

void TCardSession::NoteServiceResult(pcsc::TResult result) {
    if (result != pcsc::kNoService && result != pcsc::kServiceStopped) {
        return;
    }
    if (!FServiceNoteShown) {
        FServiceNoteShown = true;
        AddLog(FCroatian ? pcsc::kServiceNotRunningCroatian : pcsc::kServiceNotRunningEnglish);
    }
}

void TCardSession::ListReaders(std::vector<std::string>& names) {
    pcsc::TResult result = ListReaderNames(*FPCSC, FContext, names);
    bool serviceGone = false;
    if (pcsc::ContextLost(result)) {
        if (RenewContext()) {
            result = ListReaderNames(*FPCSC, FContext, names);
        } else {
            serviceGone = true;
        }
    }
    if (result != pcsc::kSuccess) {
        AddLog(ResultNameLine(result));
    }
    if (serviceGone) {
        NoteServiceResult(pcsc::kNoService);
    }
}

bool TCardSession::RenewContext() {
    SCARDCONTEXT context = 0;
    if (FPCSC->EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != pcsc::kSuccess) {
        return false;
    }
    if (FContext != 0) {
        FPCSC->ReleaseContext(FContext);
    }
    FContext = context;
    FServiceNoteShown = false;
    // The start-up's line once more: the log shows that the service is back
    // and that a new context was taken.
    AddLog("SCardEstablishContext succeeded.");
    return true;
}

pcsc::TResult TCardSession::ReadCardState(TReaderObject& reader) {
    // A state of its own rather than the reader object's ReaderState, which
    // the watcher thread writes.
    pcsc::TReaderState state{};
    state.szReader = reader.ReaderName.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const pcsc::TResult result = FPCSC->GetStatusChange(FContext, 0, &state, 1);
    if (result != pcsc::kSuccess) {
        return result;
    }
    if (state.cbAtr != 0) {
        reader.UpdateATR(state.rgbAtr, std::min<DWORD>(state.cbAtr, sizeof(state.rgbAtr)));
    }
    reader.CardState = CardStateFromReaderState(state);
    if (reader.CardState == csNoCard) {
        reader.CardHandle = pcsc::kNoCardHandle;
    }
    return result;
}
