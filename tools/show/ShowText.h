// dravik-show's text: the card, the driver, a line a day and the lists.
#pragma once

#include "ShowJson.h"

#include <string>

std::string ShowText(const TShown& shown);
