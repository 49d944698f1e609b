#include "support/json_reader.h"

#include <cstdlib>

namespace krtest {
namespace {

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) {}

    bool Value(JsonValue& out, int depth) {
        if (depth > 64) return false;
        Blanks();
        if (at_ >= text_.size()) return false;
        const char c = text_[at_];
        if (c == '{') return Object(out, depth);
        if (c == '[') return Array(out, depth);
        if (c == '"') {
            out.kind = JsonValue::Kind::String;
            return String(out.text);
        }
        if (Word("null")) return true;
        if (Word("true")) {
            out.kind = JsonValue::Kind::Bool;
            out.boolean = true;
            return true;
        }
        if (Word("false")) {
            out.kind = JsonValue::Kind::Bool;
            return true;
        }
        return Number(out);
    }

    bool End() {
        Blanks();
        return at_ == text_.size();
    }

  private:
    void Blanks() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' ||
                                      text_[at_] == '\r' || text_[at_] == '\t'))
            ++at_;
    }

    bool Word(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    bool Number(JsonValue& out) {
        const std::size_t start = at_;
        while (at_ < text_.size() &&
               std::string_view("+-0123456789.eE").find(text_[at_]) != std::string_view::npos)
            ++at_;
        if (at_ == start) return false;
        const std::string digits(text_.substr(start, at_ - start));
        char* end = nullptr;
        out.number = std::strtod(digits.c_str(), &end);
        out.kind = JsonValue::Kind::Number;
        return end == digits.c_str() + digits.size();
    }

    static void AppendUtf8(std::string& out, uint32_t code) {
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

    bool String(std::string& out) {
        ++at_;  // the opening quote
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) return false;
            const char e = text_[at_++];
            if (e == 'u') {
                if (at_ + 4 > text_.size()) return false;
                const std::string hex(text_.substr(at_, 4));
                char* end = nullptr;
                const auto code = static_cast<uint32_t>(std::strtoul(hex.c_str(), &end, 16));
                if (end != hex.c_str() + 4) return false;
                at_ += 4;
                AppendUtf8(out, code);
                continue;
            }
            constexpr std::string_view kEscaped = "\"\\/bfnrt";
            constexpr std::string_view kMeant = "\"\\/\b\f\n\r\t";
            const std::size_t which = kEscaped.find(e);
            if (which == std::string_view::npos) return false;
            out += kMeant[which];
        }
        return false;
    }

    bool Array(JsonValue& out, int depth) {
        out.kind = JsonValue::Kind::Array;
        ++at_;
        Blanks();
        if (at_ < text_.size() && text_[at_] == ']') {
            ++at_;
            return true;
        }
        for (;;) {
            JsonValue item;
            if (!Value(item, depth + 1)) return false;
            out.items.push_back(std::move(item));
            Blanks();
            if (at_ >= text_.size()) return false;
            const char c = text_[at_++];
            if (c == ']') return true;
            if (c != ',') return false;
        }
    }

    bool Object(JsonValue& out, int depth) {
        out.kind = JsonValue::Kind::Object;
        ++at_;
        Blanks();
        if (at_ < text_.size() && text_[at_] == '}') {
            ++at_;
            return true;
        }
        for (;;) {
            Blanks();
            std::string name;
            if (at_ >= text_.size() || text_[at_] != '"' || !String(name)) return false;
            Blanks();
            if (at_ >= text_.size() || text_[at_++] != ':') return false;
            JsonValue member;
            if (!Value(member, depth + 1)) return false;
            // A repeated name is a fault of the writer.
            if (!out.members.emplace(name, std::move(member)).second) return false;
            Blanks();
            if (at_ >= text_.size()) return false;
            const char c = text_[at_++];
            if (c == '}') return true;
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

}  // namespace krtest
