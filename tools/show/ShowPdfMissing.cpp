#include "ShowPdf.h"

std::string WriteShownPdf(const TShown&, const std::string&) {
    return "this build of dravik-show has no PDF reports (built without Qt)";
}
