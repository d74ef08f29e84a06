#include "population/json_text.h"

#include <algorithm>
#include <cmath>

#include "fmt/format.h"

namespace tessuvan::population {

std::string JsonNumber(double value) { return std::isfinite(value) ? fmt::format("{:.10g}", value) : "null"; }

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += {'\\', c};
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (static_cast<unsigned char>(c) < 0x20 && c != '\r')
            out += fmt::format("\\u{:04x}", int(c));
        else if (c != '\r')
            out += c;
    }
    return out + "\"";
}

namespace {

using Json = nlohmann::ordered_json;

class Writer {
public:
    explicit Writer(std::span<const JsonLine> lines) : lines_(lines) {}

    void Value(const Json& value, const std::string& path)
    {
        switch (value.type()) {
            case Json::value_t::object:
            case Json::value_t::array:
                return Container(value, path);
            case Json::value_t::string:
                out_ += JsonString(value.get_ref<const std::string&>());
                return;
            case Json::value_t::number_float:
                out_ += JsonNumber(value.get<double>());
                return;
            default:  // integers, booleans and null print as the library prints them
                out_ += value.dump();
        }
    }

    std::string Text() && { return std::move(out_); }

private:
    const JsonLine* Line(const std::string& path, bool member) const
    {
        for (const JsonLine& line : lines_)
            if (line.path == path && (line.where == JsonBreak::Member) == member) return &line;
        return nullptr;
    }

    void Container(const Json& value, const std::string& path)
    {
        const bool object = value.is_object();
        const JsonLine* each = Line(path, false);
        out_ += object ? '{' : '[';
        bool first = true;
        for (const auto& [key, entry] : value.items()) {
            const std::string entryPath = object ? (path.empty() ? key : path + "." + key) : path + ".*";
            if (!first) out_ += ',';
            if (const JsonLine* line = each != nullptr ? each : Line(entryPath, true))
                out_ += "\n" + std::string(std::size_t(line->indent), ' ');
            else if (!first)
                out_ += ' ';
            first = false;
            if (object) out_ += JsonString(key) + ": ";
            Value(entry, entryPath);
        }
        if (each != nullptr && each->where == JsonBreak::EntriesAndClosing)
            out_ += "\n" + std::string(std::size_t(std::max(each->indent - 2, 0)), ' ');
        out_ += object ? '}' : ']';
    }

    std::span<const JsonLine> lines_;
    std::string out_;
};

}  // namespace

std::string JsonText(const nlohmann::ordered_json& value, std::span<const JsonLine> lines)
{
    Writer writer(lines);
    writer.Value(value, "");
    return std::move(writer).Text();
}

}  // namespace tessuvan::population
