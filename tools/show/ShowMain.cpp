// dravik-show: what a driver card download file holds, as text or JSON.
#include "ShowFile.h"
#include "ShowJson.h"
#include "ShowOptions.h"
#include "ShowPdf.h"
#include "ShowText.h"
#include "cardfile/RootKeyFile.h"
#include "platform/Platform.h"
#include "rules/RulesJson.h"

#include <iostream>

namespace {

int Usage(const std::string& error) {
    std::cerr << "dravik-show: " << error << "\nTry 'dravik-show --help'.\n";
    return kShowExitFailure;
}

} // namespace

int main(int argc, char* argv[]) {
    platform::UseUtf8Console();
    TShowOptions options;
    const std::string usageError = ParseShowOptions(platform::Utf8Arguments(argc, argv), options);
    if (!usageError.empty()) {
        return Usage(usageError);
    }
    if (options.Help) {
        std::cout << kShowUsage;
        return kShowExitShown;
    }
    if (options.Version) {
        std::cout << "dravik-show " << DRAVIK_VERSION << '\n';
        return kShowExitShown;
    }
    const cardfile::TRootKeyLookup root = options.Root
                                              ? cardfile::LoadRootKey(*options.Root)
                                              : cardfile::FindRootKey(platform::ExecutableDir());
    if (!root.Key && options.Root) {
        std::cerr << "dravik-show: " << root.Error << '\n';
        return kShowExitFailure;
    }
    std::optional<cardfile::TBytes> rootG2;
    if (options.RootG2) {
        rootG2 = cardfile::ReadWholeFile(*options.RootG2);
        if (!rootG2) {
            std::cerr << "dravik-show: cannot read " << *options.RootG2 << '\n';
            return kShowExitFailure;
        }
    }
    std::string error;
    std::optional<TShown> shown = LoadShown(options.File, root.Key ? &*root.Key : nullptr,
                                            rootG2 ? &*rootG2 : nullptr, &error);
    if (!shown) {
        std::cerr << "dravik-show: " << error << '\n';
        return kShowExitFailure;
    }
    auto& days = shown->Data.Days;
    if (options.Days && days.size() > static_cast<std::size_t>(*options.Days)) {
        days.erase(days.begin(), days.end() - *options.Days);
    }
    // Judged over the days kept, so that what is judged is what is shown.
    rules::TOptions rulesOptions;
    rulesOptions.UnknownAs =
        options.UnknownAsWork ? rules::TUnknownAs::Work : rules::TUnknownAs::Rest;
    shown->Judgement = rules::Judge(days, rulesOptions);
    if (options.Pdf) {
        const std::string pdfError = WriteShownPdf(*shown, *options.Pdf);
        if (!pdfError.empty()) {
            std::cerr << "dravik-show: " << pdfError << '\n';
            return kShowExitFailure;
        }
    }
    if (options.Json) {
        std::cout << ShowJson(*shown) << '\n';
    } else if (options.Infringements) {
        std::cout << rules::FindingsText(shown->Judgement, rulesOptions);
    } else {
        std::cout << ShowText(*shown);
    }
    for (const std::string& line : shown->Data.Errors) {
        std::cerr << "dravik-show: " << options.File << ": " << line << '\n';
    }
    return shown->Data.Errors.empty() ? kShowExitShown : kShowExitErrors;
}
