// The window's settings file as its toolkit writes it: "key=value" lines under
// [General], a value quoted when it has separators or blanks at its ends, and
// C-style escapes inside.
#include "platform/UserFolders.h"

#include "platform/Platform.h"

#include <sstream>

namespace platform {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A code point past U+FFFF as its four UTF-8 bytes.
void AppendUtf8Supplementary(std::string& out, unsigned code) {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
}

std::string Unescaped(const std::string& raw) {
    std::string out;
    // A high surrogate waiting for the low one that completes it.
    unsigned highSurrogate = 0;
    bool quoted = false;
    std::size_t pendingBlanks = 0; // blanks outside quotes count only between words
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (highSurrogate != 0 && raw.compare(i, 2, "\\x") != 0) {
            AppendUtf8(out, 0xFFFD); // a lone half of a pair
            highSurrogate = 0;
        }
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && (c == ' ' || c == '\t')) {
            ++pendingBlanks;
            continue;
        }
        if (!out.empty()) {
            out.append(pendingBlanks, ' ');
        }
        pendingBlanks = 0;
        if (c != '\\' || i + 1 == raw.size()) {
            out += c;
            continue;
        }
        const char next = raw[++i];
        switch (next) {
        case 'a':
            out += '\a';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'v':
            out += '\v';
            break;
        case 'x': {
            // As the toolkit reads it: every hex digit that follows, kept to
            // one UTF-16 unit (its writer escapes a digit after an escape, so
            // that \x17d\x31 is "Ž1"); a character beyond the Basic
            // Multilingual Plane is written as its two surrogates.
            unsigned code = 0;
            while (i + 1 < raw.size() && HexDigit(raw[i + 1]) >= 0) {
                code = (code * 16 + static_cast<unsigned>(HexDigit(raw[++i]))) & 0xFFFF;
            }
            if (code >= 0xD800 && code <= 0xDBFF) {
                highSurrogate = code;
                continue;
            }
            if (code >= 0xDC00 && code <= 0xDFFF && highSurrogate != 0) {
                AppendUtf8Supplementary(out, 0x10000 + ((highSurrogate - 0xD800) << 10) +
                                                 (code - 0xDC00));
                highSurrogate = 0;
                continue;
            }
            AppendUtf8(out, code >= 0xD800 && code <= 0xDFFF ? 0xFFFD : code);
            break;
        }
        default:
            out += next;
            break; // \\ \" \' \? and anything unknown
        }
    }
    if (highSurrogate != 0) {
        AppendUtf8(out, 0xFFFD);
    }
    // A text that began with '@' is written with it doubled.
    if (out.rfind("@@", 0) == 0) {
        out.erase(0, 1);
    }
    return out;
}

} // namespace

std::optional<std::string> IniGeneralValue(const std::string& text, const std::string& key) {
    std::istringstream lines(text);
    std::string line;
    bool general = true; // keys before any section are the General ones
    std::optional<std::string> found;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == ';' || line[first] == '#') {
            continue;
        }
        if (line[first] == '[') {
            general = line.compare(first, 9, "[General]") == 0;
            continue;
        }
        const auto equals = line.find('=');
        if (!general || equals == std::string::npos) {
            continue;
        }
        std::string name = line.substr(first, equals - first);
        name.erase(name.find_last_not_of(" \t") + 1);
        if (name == key) {
            found = Unescaped(line.substr(equals + 1));
        }
    }
    return found;
}

} // namespace platform
