// The text of a results.json: a JSON value built with nlohmann::json, written with the
// toolkit's number text (10 significant digits; null for a value that is not finite), its
// strings escaped, and its lines laid out by a table: a file a reader can scan one estimate,
// one individual, one row of a matrix a line, and whose bytes do not depend on the library's
// own printer.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tessuvan::population {

std::string JsonNumber(double value);             // 10 significant digits; null when not finite
std::string JsonString(const std::string& text);  // quoted, escaped; a carriage return is dropped

// Where a line breaks. `path` names a member by its keys joined with '.' ("" the whole value,
// "theta", "correlation.matrix", "run.model"); the line starts with `indent` spaces. Anything no
// line names is written on one line: {"a": 1, "b": [2, 3]}.
enum class JsonBreak {
    Entries,            // each entry of the object or array starts a line
    EntriesAndClosing,  // so does its closing bracket, two spaces less indented
    Member,             // the member itself starts a line
};

struct JsonLine {
    std::string_view path;
    int indent;
    JsonBreak where;
};

std::string JsonText(const nlohmann::ordered_json& value, std::span<const JsonLine> lines);

}  // namespace tessuvan::population
