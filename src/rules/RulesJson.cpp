#include "rules/RulesJson.h"

#include "rules/Format.h"

#include <cstdio>

namespace rules {

namespace {

void AppendString(std::string& out, const std::string& text) {
    out += '"';
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += ch;
        }
    }
    out += '"';
}

void AppendList(std::string& out, const char* key, const std::vector<TFinding>& findings) {
    out += '"';
    out += key;
    out += "\":[";
    for (std::size_t i = 0; i < findings.size(); ++i) {
        const TFinding& f = findings[i];
        out += i == 0 ? "{" : ",{";
        out += "\"rule\":";
        AppendString(out, f.Rule);
        out += ",\"start\":";
        AppendString(out, IsoTime(f.Start));
        out += ",\"end\":";
        AppendString(out, IsoTime(f.End));
        out += ",\"value\":" + std::to_string(f.Value);
        out += ",\"limit\":" + std::to_string(f.Limit);
        out += ",\"severity\":";
        if (const char* code = SeverityCode(f.Severity)) {
            AppendString(out, code);
        } else {
            out += "null";
        }
        out += ",\"detail\":";
        AppendString(out, f.Detail);
        out += '}';
    }
    out += ']';
}

void AppendLines(std::string& out, const std::vector<TFinding>& findings) {
    for (const TFinding& f : findings) {
        const char* code = SeverityCode(f.Severity);
        out += "  " + TimeText(f.Start) + " - " + TimeText(f.End) + "  " + f.Rule + "  " +
               DurationText(f.Value) + " (limit " + DurationText(f.Limit) + ")" +
               (code ? std::string("  ") + code : std::string()) + "  " + f.Detail + "\n";
    }
}

} // namespace

std::string FindingsJson(const TJudgement& judgement) {
    std::string out;
    AppendList(out, "infringements", judgement.Infringements);
    out += ',';
    AppendList(out, "notJudged", judgement.NotJudged);
    return out;
}

std::string UnknownJson(const TJudgement& judgement, const TOptions& options) {
    return "\"unknownMinutes\":" + std::to_string(judgement.UnknownMinutes) + ",\"unknownAs\":\"" +
           (options.UnknownAs == TUnknownAs::Rest ? "rest" : "work") + "\"";
}

std::string FindingsText(const TJudgement& judgement, const TOptions& options) {
    std::string out = "Infringements: " + std::to_string(judgement.Infringements.size()) + "\n";
    AppendLines(out, judgement.Infringements);
    out += "Not judged: " + std::to_string(judgement.NotJudged.size()) + "\n";
    AppendLines(out, judgement.NotJudged);
    out += "Unknown time counted as " +
           std::string(options.UnknownAs == TUnknownAs::Rest ? "rest" : "work") + ": " +
           DurationText(judgement.UnknownMinutes) + "\n";
    return out;
}

} // namespace rules
