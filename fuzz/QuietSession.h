// A card session without a window: the hooks keep what they are given so
// that a harness can look at it.
#pragma once

#include "main/CardSession.h"

#include <string>
#include <vector>

class TQuietSession : public TCardSession {
public:
    TReaderObject* Reader = nullptr;
    std::vector<std::string> Log;
    std::string DownloadName;
    std::string Message;
    std::string Error;

    void AddLog(const std::string& line) override { Log.push_back(line); }

protected:
    void ShowDownloadName(const std::string& name) override { DownloadName = name; }
    TReaderObject* SelectedReader() override { return Reader; }
    void BeginLogUpdate() override {}
    void EndLogUpdate() override {}
    std::string ReadButtonCaption() const override { return {}; }
    void SetReadButton(const std::string&, bool) override {}
    void UpdateReadButton() override {}
    void ShowMessage(const std::string& text) override { Message = text; }
    void ShowError(const std::string& text) override { Error = text; }
};
