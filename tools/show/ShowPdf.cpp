#include "ShowPdf.h"

#include "contents/CardReport.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QLocale>
#include <memory>

std::string WriteShownPdf(const TShown& shown, const std::string& path) {
    // The report is drawn, never shown: no display is needed for it.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static int argc = 1;
    static char name[] = "dravik-show";
    static char* argv[] = {name, nullptr};
    std::unique_ptr<QGuiApplication> application;
    if (QGuiApplication::instance() == nullptr) {
        application = std::make_unique<QGuiApplication>(argc, argv);
    }
    contents::TReportOptions options;
    // The office's own language where the system speaks it, else English.
    options.Croatian = QLocale::system().language() == QLocale::Croatian;
    options.Signatures.Verdict = shown.Signatures == "valid" ? contents::TSignatures::Valid
                                 : shown.Signatures == "not valid"
                                     ? contents::TSignatures::NotValid
                                     : contents::TSignatures::NotChecked;
    options.Days = static_cast<int>(shown.Data.Days.size()) > 28
                       ? static_cast<int>(shown.Data.Days.size())
                       : 28;
    return contents::WriteCardReport(shown.Data, options, path).Error;
}
