// A strict little JSON reader for tests that check a program's JSON output: any syntax error
// fails the parse.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace krtest {

struct JsonValue {
    enum class Kind : uint8_t { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    bool IsNull() const { return kind == Kind::Null; }
    // The member, or a null value when there is none.
    const JsonValue& operator[](const std::string& name) const;
    const JsonValue& operator[](std::size_t index) const { return items.at(index); }
    int64_t Int() const { return static_cast<int64_t>(number); }
    bool operator==(const JsonValue&) const = default;
};

// Nullopt when the text is not exactly one JSON value (surrounding blanks allowed).
std::optional<JsonValue> ParseJson(std::string_view text);

// A tool's --json output: JSON objects one to a line, events first and the result last.
// Nullopt unless every line is one JSON object and the last is a result (it has "command");
// the events go to events when given.
std::optional<JsonValue> ParseJsonLines(std::string_view text,
                                        std::vector<JsonValue>* events = nullptr);

}  // namespace krtest
