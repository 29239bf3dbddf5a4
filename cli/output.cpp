#include "cli/output.h"

#include <cstdio>

namespace {

// The length of the well-formed UTF-8 sequence at `p`, or 0.
std::size_t Utf8Length(const unsigned char* p, std::size_t left) {
    if (p[0] < 0x80) return 1;
    std::size_t length = p[0] >= 0xC2 && p[0] <= 0xDF ? 2 : p[0] >= 0xE0 && p[0] <= 0xEF ? 3
                         : p[0] >= 0xF0 && p[0] <= 0xF4                                 ? 4
                                                                                         : 0;
    if (length == 0 || length > left) return 0;
    // The second byte's range rules out overlong forms, surrogates and code
    // points above U+10FFFF.
    unsigned char low = p[0] == 0xE0 ? 0xA0 : p[0] == 0xF0 ? 0x90 : 0x80;
    unsigned char high = p[0] == 0xED ? 0x9F : p[0] == 0xF4 ? 0x8F : 0xBF;
    if (p[1] < low || p[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
    }
    return length;
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = Utf8Length(bytes + i, text.size() - i);
        unsigned char c = bytes[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (length == 0 || c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned{c});
            out += escaped;
        } else {
            out.append(text, i, length);
            i += length;
            continue;
        }
        ++i;
    }
    return out + "\"";
}

JsonObject& JsonObject::Add(const std::string& key, const std::string& text) {
    members_.emplace_back(key, JsonString(text));
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, unsigned number) {
    members_.emplace_back(key, std::to_string(number));
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, int number) {
    members_.emplace_back(key, std::to_string(number));
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, bool value) {
    members_.emplace_back(key, value ? "true" : "false");
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, const std::vector<JsonObject>& items) {
    std::string array = "[";
    for (std::size_t i = 0; i < items.size(); ++i) array += (i ? ",\n  " : "\n  ") + items[i].Text();
    members_.emplace_back(key, array + (items.empty() ? "]" : "\n]"));
    return *this;
}

bool JsonObject::Has(const std::string& key) const {
    for (const auto& member : members_) {
        if (member.first == key) return true;
    }
    return false;
}

std::string JsonObject::Text() const {
    std::string text = "{";
    for (std::size_t i = 0; i < members_.size(); ++i) {
        text += (i ? ", " : "") + JsonString(members_[i].first) + ": " + members_[i].second;
    }
    return text + "}";
}

void PrintJson(const JsonObject& object) {
    std::printf("%s\n", object.Text().c_str());
    std::fflush(stdout);
}

int ReportFailure(bool json, int status, const std::string& who, const std::string& reason, JsonObject known) {
    std::fflush(stdout);
    std::fprintf(stderr, "brisant-cli: %s%s%s\n", who.c_str(), who.empty() ? "" : ": ", reason.c_str());
    if (json) PrintJson(known.Add("error", reason).Add("exit", status));
    return status;
}
