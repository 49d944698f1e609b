#include "support/json_reader.h"

#include <charconv>
#include <cstdlib>

namespace krtest {
namespace {

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) {}

    bool Value(JsonValue& out, int depth) {
        if (depth > 64 || !More()) return false;
        const char c = text_[at_];
        if (c == '{') return List(out, JsonValue::Kind::Object, '}', depth);
        if (c == '[') return List(out, JsonValue::Kind::Array, ']', depth);
        if (c == '"') {
            out.kind = JsonValue::Kind::String;
            return String(out.text);
        }
        if (Word("null")) return true;
        const bool isTrue = Word("true");
        if (isTrue || Word("false")) {
            out.kind = JsonValue::Kind::Bool;
            out.boolean = isTrue;
            return true;
        }
        const char* const end = text_.data() + text_.size();
        const auto [next, error] = std::from_chars(text_.data() + at_, end, out.number);
        out.kind = JsonValue::Kind::Number;
        at_ = static_cast<std::size_t>(next - text_.data());
        return error == std::errc();
    }

    bool End() { return !More(); }

  private:
    // Skips blanks; true when something follows.
    bool More() {
        while (at_ < text_.size() &&
               std::string_view(" \n\r\t").find(text_[at_]) != std::string_view::npos)
            ++at_;
        return at_ < text_.size();
    }

    bool Word(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    bool String(std::string& out) {
        ++at_;  // the opening quote
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20 || (c == '\\' && at_ >= text_.size()))
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            const char e = text_[at_++];
            constexpr std::string_view kEscaped = "\"\\/bfnrt";
            constexpr std::string_view kMeant = "\"\\/\b\f\n\r\t";
            if (e != 'u') {
                if (kEscaped.find(e) == std::string_view::npos) return false;
                out += kMeant[kEscaped.find(e)];
                continue;
            }
            const std::string hex(text_.substr(at_, 4));
            char* end = nullptr;
            const auto code = static_cast<uint32_t>(std::strtoul(hex.c_str(), &end, 16));
            if (hex.size() != 4 || end != hex.c_str() + 4) return false;
            at_ += 4;
            // As UTF-8 (the writer escapes only control characters).
            if (code < 0x80) {
                out += static_cast<char>(code);
            } else if (code < 0x800) {
                out += static_cast<char>(0xC0 | (code >> 6));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else {
                out += static_cast<char>(0xE0 | (code >> 12));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            }
        }
        return false;
    }

    // An array or an object: items (named, for an object) between commas.
    bool List(JsonValue& out, JsonValue::Kind kind, char close, int depth) {
        out.kind = kind;
        ++at_;
        if (More() && text_[at_] == close) {
            ++at_;
            return true;
        }
        for (;;) {
            JsonValue item;
            std::string name;
            if (kind == JsonValue::Kind::Object &&
                !(More() && text_[at_] == '"' && String(name) && More() && text_[at_++] == ':'))
                return false;
            if (!Value(item, depth + 1)) return false;
            if (kind == JsonValue::Kind::Array) {
                out.items.push_back(std::move(item));
            } else if (!out.members.emplace(name, std::move(item)).second) {
                return false;  // a repeated name is a fault of the writer
            }
            if (!More()) return false;
            const char c = text_[at_++];
            if (c == close) return true;
            if (c != ',') return false;
        }
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

}  // namespace

const JsonValue& JsonValue::operator[](const std::string& name) const {
    static const JsonValue none;
    const auto it = members.find(name);
    return it == members.end() ? none : it->second;
}

std::optional<JsonValue> ParseJson(std::string_view text) {
    Parser parser(text);
    JsonValue value;
    if (!parser.Value(value, 0) || !parser.End()) return std::nullopt;
    return value;
}

std::optional<JsonValue> ParseJsonLines(std::string_view text, std::vector<JsonValue>* events) {
    if (text.empty() || text.back() != '\n') return std::nullopt;
    std::vector<JsonValue> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        auto value = ParseJson(text.substr(at, end - at));
        if (!value || value->kind != JsonValue::Kind::Object) return std::nullopt;
        lines.push_back(std::move(*value));
        at = end + 1;
    }
    if (lines.empty() || lines.back()["command"].IsNull()) return std::nullopt;
    JsonValue result = std::move(lines.back());
    lines.pop_back();
    for (const JsonValue& e : lines)
        if (e["event"].IsNull()) return std::nullopt;
    if (events != nullptr) *events = std::move(lines);
    return result;
}

}  // namespace krtest
