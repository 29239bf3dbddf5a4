// What brisant-cli prints besides the repair's own messages: JSON for
// scripts, one object a run whatever the outcome, and the line that says why.
#pragma once

#include <string>
#include <utility>
#include <vector>

// `text` as a JSON string; bytes that are not well-formed UTF-8 (a path can
// hold any) become \u00XX, so that the output always parses.
std::string JsonString(const std::string& text);

// Members in the order they are added.
class JsonObject {
public:
    JsonObject& Add(const std::string& key, const std::string& text);
    JsonObject& Add(const std::string& key, const char* text) { return Add(key, std::string(text)); }
    JsonObject& Add(const std::string& key, unsigned number);
    JsonObject& Add(const std::string& key, int number);
    JsonObject& Add(const std::string& key, bool value);
    // An array of objects, one to a line.
    JsonObject& Add(const std::string& key, const std::vector<JsonObject>& items);
    bool Has(const std::string& key) const;
    std::string Text() const;

private:
    std::vector<std::pair<std::string, std::string>> members_;  // key, value as JSON
};

// The object on stdout, on a line of its own.
void PrintJson(const JsonObject& object);

// "brisant-cli: WHO: REASON" (or without WHO) on stderr; for --json also
// `known` with "error" and "exit" added, on stdout. Returns `status`.
int ReportFailure(bool json, int status, const std::string& who, const std::string& reason, JsonObject known = {});
