// A small streaming JSON writer: objects, arrays, strings (escaped), numbers, null, with
// two-space indentation or all on one line. A finished document ends with a line end.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace krhost {

class JsonWriter {
  public:
    JsonWriter() = default;
    // One line: a result among the JSON lines of the events.
    explicit JsonWriter(bool oneLine) : oneLine_(oneLine) {}

    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    // The name of the next member of an object.
    JsonWriter& Key(std::string_view name);
    JsonWriter& String(std::string_view text);
    JsonWriter& Number(int64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();
    // Members written before by a one-line writer ("\"a\": 1, ..." without the braces), added
    // to the open object as they are.
    JsonWriter& Raw(std::string_view members);

    const std::string& text() const { return out_; }

  private:
    void BeforeValue();
    void NewLine();

    std::string out_;
    std::vector<bool> hasItems_;  // per open container
    bool afterKey_ = false;
    bool oneLine_ = false;
};

// Text as a JSON string literal; bytes that are not valid UTF-8 become U+FFFD.
std::string JsonQuote(std::string_view text);

}  // namespace krhost
