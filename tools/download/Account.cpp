#include "Account.h"

#include <cstdio>

namespace {

// The length of the well-formed UTF-8 sequence at `at`, or 0.
std::size_t Utf8Length(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    const unsigned first = byte(at);
    auto continuation = [&](std::size_t i) { return (byte(i) & 0xC0) == 0x80; };
    if (first < 0x80) {
        return 1;
    }
    if (first >= 0xC2 && first <= 0xDF) {
        return continuation(at + 1) ? 2 : 0;
    }
    if (first >= 0xE0 && first <= 0xEF) {
        const unsigned second = byte(at + 1);
        // Neither overlong forms nor UTF-16 surrogates.
        if ((first == 0xE0 && second < 0xA0) || (first == 0xED && second > 0x9F)) {
            return 0;
        }
        return continuation(at + 1) && continuation(at + 2) ? 3 : 0;
    }
    if (first >= 0xF0 && first <= 0xF4) {
        const unsigned second = byte(at + 1);
        if ((first == 0xF0 && second < 0x90) || (first == 0xF4 && second > 0x8F)) {
            return 0;
        }
        return continuation(at + 1) && continuation(at + 2) && continuation(at + 3) ? 4 : 0;
    }
    return 0;
}

// Text for the terminal: every control character (C0, DEL and C1, such as
// U+009B, which a terminal takes for the start of a command) and every byte
// that is not UTF-8 (a lone 0x9B is the same command to an 8-bit terminal)
// becomes '?'; the rest stays as it is.
std::string Shown(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = Utf8Length(text, i);
        const auto first = static_cast<unsigned char>(text[i]);
        const auto second = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
        const bool control = length == 0 || (length == 1 && (first < 0x20 || first == 0x7F)) ||
                             (length == 2 && first == 0xC2 && second < 0xA0);
        if (control) {
            shown += '?';
            i += length == 0 ? 1 : length;
            continue;
        }
        shown.append(text, i, length);
        i += length;
    }
    return shown;
}

} // namespace

const char* SignaturesWord(TSignatures signatures) {
    switch (signatures) {
    case TSignatures::Valid:
        return "valid";
    case TSignatures::NotValid:
        return "not valid";
    case TSignatures::NotChecked:
        return "not checked";
    case TSignatures::NotSigned:
        return "not signed";
    }
    return "not checked";
}

const char* StatusWord(TFileStatus status) {
    switch (status) {
    case TFileStatus::Read:
        return "read";
    case TFileStatus::Partial:
        return "partial";
    case TFileStatus::NotRead:
        return "not read";
    case TFileStatus::NotOnCard:
        return "not on the card";
    }
    return "not read";
}

std::string AccountLine(const TDownloadReport& report) {
    std::string line = Shown(report.Reader) + ": ";
    if (report.CardNumber.empty()) {
        line += "no driver card";
    } else {
        line += "card " + Shown(report.CardNumber) + ", driver " + Shown(report.Driver);
        if (report.Generation == 2) {
            line += ", second generation";
        }
        int expected = 0;
        int read = 0;
        for (const TFileReport& file : report.Files) {
            expected += file.Status != TFileStatus::NotOnCard;
            read += file.Status == TFileStatus::Read;
        }
        line += "; " + std::to_string(read) + " of " + std::to_string(expected) + " files read";
        if (!report.Whole) {
            line += ", NOT WHOLE";
        }
        line += std::string("; signatures ") + (report.Signatures == TSignatures::NotSigned
                                                    ? "not signed by the card"
                                                    : SignaturesWord(report.Signatures));
    }
    if (!report.Path.empty()) {
        line += "; saved as " + Shown(report.Path);
    } else {
        line += "; not saved";
    }
    return line + " (" + std::to_string(report.Milliseconds) + " ms)";
}

std::string JsonString(const std::string& text) {
    std::string json = "\"";
    json.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = Utf8Length(text, i);
        if (length == 0) {
            json += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (length > 1) {
            json.append(text, i, length);
        } else if (byte == '"' || byte == '\\') {
            json += '\\';
            json += static_cast<char>(byte);
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04X", byte);
            json += escaped;
        } else {
            json += static_cast<char>(byte);
        }
        i += length;
    }
    return json + "\"";
}

std::string JsonObject(const TDownloadReport& report) {
    auto nullable = [](const std::string& text) {
        return text.empty() ? std::string("null") : JsonString(text);
    };
    std::string json = "{\"reader\":" + JsonString(report.Reader) +
                       ",\"cardNumber\":" + nullable(report.CardNumber) +
                       ",\"driver\":" + nullable(report.CardNumber.empty() ? "" : report.Driver) +
                       ",\"generation\":" + std::to_string(report.Generation) + ",\"files\":[";
    for (std::size_t i = 0; i < report.Files.size(); ++i) {
        const TFileReport& file = report.Files[i];
        char fid[8];
        std::snprintf(fid, sizeof(fid), "%04X", file.Fid);
        json += std::string(i > 0 ? "," : "") + "{\"fid\":\"" + fid +
                "\",\"name\":" + JsonString(file.Name) + ",\"status\":\"" +
                StatusWord(file.Status) + "\"";
        if (file.Signing != TFileSigning::NotSigned) {
            json += std::string(",\"signedByCard\":") +
                    (file.Signing == TFileSigning::ByCard ? "true" : "false");
        }
        json += "}";
    }
    json += std::string("],\"signatures\":\"") + SignaturesWord(report.Signatures) +
            "\",\"path\":" + nullable(report.Path) +
            ",\"whole\":" + (report.Whole ? "true" : "false") +
            ",\"milliseconds\":" + std::to_string(report.Milliseconds) +
            ",\"exitStatus\":" + std::to_string(report.ExitStatus);
    if (!report.Error.empty()) {
        json += ",\"error\":" + JsonString(report.Error);
    }
    return json + "}";
}
