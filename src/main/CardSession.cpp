#include "main/CardSession.h"

#include "platform/Platform.h"

#include <cstdio>

std::string ResultHex(pcsc::TResult code) {
    char text[9];
    std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(code));
    return text;
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
        AddLog("(" + TPCSCRaw::ResultName(result) + ").");
    }
}

void TCardSession::ListReaders(std::vector<std::string>& names) {
    names.clear();
    DWORD length = 0;
    pcsc::TResult result = FPCSC->ListReaders(FContext, nullptr, nullptr, &length);
    if (pcsc::ContextLost(result) && RenewContext()) {
        result = FPCSC->ListReaders(FContext, nullptr, nullptr, &length);
    }
    if (result != pcsc::kSuccess) {
        AddLog("(" + TPCSCRaw::ResultName(result) + ").");
        return;
    }
    std::vector<char> buffer(length);
    if (FPCSC->ListReaders(FContext, nullptr, buffer.data(), &length) == pcsc::kSuccess) {
        MultiStringToList(buffer.data(), std::min<DWORD>(length, buffer.size()), &names);
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
    AddLog("SCardEstablishContext succeeded.");
    return true;
}
