// The card-contents window on the four weeks of CardDataFixture, to look at:
//   contents_demo [--english] [--expires DAYS] [--marks] [--pdf OUT.pdf] [--days N] [--message]
// With --pdf it writes the report and exits; with --message it shows a
// closing message with its contents button first; then the window until it
// is closed.
#include "CardDataFixture.h"
#include "contents/CardContentsWindow.h"
#include "contents/CardReport.h"

#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    bool croatian = true, marks = false, message = false;
    int expires = 20, days = 28;
    std::string pdf;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--english") {
            croatian = false;
        } else if (arg == "--message") {
            message = true;
        } else if (arg == "--marks") {
            marks = true;
        } else if (arg == "--expires" && i + 1 < argc) {
            expires = std::atoi(argv[++i]);
        } else if (arg == "--days" && i + 1 < argc) {
            days = std::atoi(argv[++i]);
        } else if (arg == "--pdf" && i + 1 < argc) {
            pdf = argv[++i];
        } else {
            std::fprintf(stderr, "contents_demo: unknown argument %s\n", arg.c_str());
            return 2;
        }
    }
    const carddata::TTime lastDay = cardfixture::Date(2026, 11, 29);
    const carddata::TCardData data =
        cardfixture::WorkingMonth(lastDay, contents::Now() + expires * cardfixture::kDay);
    const contents::TSignatureVerdict verdict{contents::TSignatures::Valid,
                                              "12 of 12 signatures valid"};
    std::vector<contents::TMark> shown;
    if (marks) {
        shown = {{lastDay - 10 * cardfixture::kDay + 5 * 3600,
                  lastDay - 10 * cardfixture::kDay + 10 * 3600, QStringLiteral("4h30 > 4:30")}};
    }
    if (!pdf.empty()) {
        contents::TReportOptions options;
        options.Croatian = croatian;
        options.Signatures = verdict;
        options.Days = days;
        options.Marks = shown;
        const contents::TReportResult result = contents::WriteCardReport(data, options, pdf);
        if (!result.Error.empty()) {
            std::fprintf(stderr, "contents_demo: %s\n", result.Error.c_str());
            return 1;
        }
        std::printf("%d pages\n", result.Pages);
        return 0;
    }
    if (message &&
        !messagebox::ShowWithButton(
            nullptr, QStringLiteral("Dravik"),
            QString::fromUtf8(croatian ? "Podaci su uspješno preuzeti.\r\rKOVAČEVIĆ Marko"
                                       : "Data downloaded.\r\rKOVAČEVIĆ Marko"),
            messagebox::TIcon::Information, contents::ContentsButtonText(croatian))) {
        return 0;
    }
    contents::TCardContentsWindow window(data, verdict, croatian, QStringLiteral("/tmp/demo.ddd"));
    window.setAttribute(Qt::WA_DeleteOnClose, false);
    window.SetMarks(shown);
    window.show();
    return application.exec();
}
