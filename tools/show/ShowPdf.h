// dravik-show --pdf: the card-contents report written as the window writes it.
#pragma once

#include "ShowJson.h"

#include <string>

// Writes the report of `shown` to `path`; an error text, empty when written.
std::string WriteShownPdf(const TShown& shown, const std::string& path);
