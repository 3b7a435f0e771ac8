#include "text/json.h"

#include <charconv>
#include <cstdlib>

#include "text/text.h"

namespace vr {
namespace {

bool IsWhitespace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A cursor over the input; every read is bounds-checked, nothing recurses.
class Reader {
public:
    explicit Reader(const std::string& text) : text_(text) {}

    bool AtEnd() const { return pos_ >= text_.size(); }
    char Peek() const { return text_[pos_]; }
    size_t Pos() const { return pos_; }
    void Step() { ++pos_; }

    void SkipWhitespace() {
        while (!AtEnd() && IsWhitespace(Peek())) ++pos_;
    }

    // Position at the opening quote; leaves it just past the closing quote,
    // or at the end of the text for an unterminated string.
    std::string ReadString() {
        std::string out;
        ++pos_;  // opening quote
        while (!AtEnd()) {
            const char c = text_[pos_++];
            if (c == '"') return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (AtEnd()) {  // a backslash that ends the text stays literal
                out += '\\';
                break;
            }
            const char e = text_[pos_++];
            switch (e) {
                case 'b': out += '\x08'; break;
                case 'f': out += '\x0C'; break;
                case 'n': out += '\x0A'; break;
                case 'r': out += '\x0D'; break;
                case 't': out += '\x09'; break;
                case 'u':
                    if (text_.size() - pos_ >= 4) {
                        // Exactly four characters, whatever they are, read as
                        // strtoul reads them; each code unit is converted on
                        // its own (so a surrogate becomes U+FFFD).
                        const std::string digits = text_.substr(pos_, 4);
                        pos_ += 4;
                        const unsigned long value = std::strtoul(digits.c_str(), nullptr, 16);
                        out += WideToUtf8(std::wstring(1, static_cast<wchar_t>(value & 0xFFFF)));
                    }
                    // Fewer than four left: "\u" is dropped, the rest is read
                    // as ordinary characters.
                    break;
                default: out += e; break;  // quote, slash, backslash and any other
            }
        }
        return out;
    }

    // Position at a non-string value's first character; stops just past a
    // balanced object or array, or before the next ',', '}', ']' or '"'.
    void SkipValue() {
        SkipWhitespace();
        if (AtEnd()) return;
        const char first = Peek();
        if (first == '"') {
            ReadString();
            return;
        }
        if (first == '{' || first == '[') {
            const char close = first == '{' ? '}' : ']';
            int depth = 0;
            while (!AtEnd()) {
                const char c = Peek();
                if (c == '"') {
                    ReadString();
                    continue;
                }
                ++pos_;
                if (c == first) {
                    ++depth;
                } else if (c == close) {
                    if (depth == 1) return;
                    --depth;
                }
            }
            return;
        }
        // A scalar also ends at a quote: the tolerated form {"a":1 "b":2}
        // (a missing comma) must give a = 1 and b = 2, which scanning only to
        // ',', '}' or ']' would not (docs/decisions.md).
        while (!AtEnd() && Peek() != ',' && Peek() != '}' && Peek() != ']' && Peek() != '"') ++pos_;
    }

private:
    const std::string& text_;
    size_t pos_ = 0;
};

JsonWriter& AddName(JsonWriter& w, const std::string& name) {
    if (!w.empty()) w += ',';
    w += '"';
    w += JsonEscape(name);
    w += "\":";
    return w;
}

}  // namespace

JsonFields ParseJsonObject(const std::string& text) {
    JsonFields fields;
    Reader r(text);
    r.SkipWhitespace();
    if (r.AtEnd() || r.Peek() != '{') return fields;
    r.Step();
    if (r.AtEnd()) return fields;
    for (;;) {
        r.SkipWhitespace();
        if (r.AtEnd() || r.Peek() != '"') return fields;  // '}' or a name that is not a string
        std::string name = r.ReadString();
        r.SkipWhitespace();
        if (!r.AtEnd() && r.Peek() == ':') r.Step();  // a missing colon is tolerated
        r.SkipWhitespace();
        if (r.AtEnd()) return fields;
        if (r.Peek() == '"') {
            fields[std::move(name)] = r.ReadString();
        } else {
            const size_t start = r.Pos();
            r.SkipValue();
            fields[std::move(name)] = TrimBlanks(text.substr(start, r.Pos() - start));
        }
        r.SkipWhitespace();
        if (!r.AtEnd()) {
            if (r.Peek() == ',') {
                r.Step();
            } else if (r.Peek() == '}') {
                return fields;
            }
        }
        if (r.AtEnd()) return fields;
    }
}

std::string JsonGetString(const JsonFields& fields, const std::string& name, const std::string& fallback) {
    const auto it = fields.find(name);
    return it == fields.end() ? fallback : it->second;
}

int64_t JsonGetInt(const JsonFields& fields, const std::string& name, int64_t fallback) {
    const auto it = fields.find(name);
    if (it == fields.end() || it->second.empty()) return fallback;
    // Whitespace, one sign, digits; no digits gives 0; out of range saturates.
    return _strtoi64(it->second.c_str(), nullptr, 10);
}

bool JsonGetBool(const JsonFields& fields, const std::string& name, bool fallback) {
    const auto it = fields.find(name);
    if (it == fields.end()) return fallback;
    return it->second == "true" || it->second == "1";
}

std::string JsonEscape(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 8);
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
            case 0x08: out += "\\b"; break;
            case 0x09: out += "\\t"; break;
            case 0x0A: out += "\\n"; break;
            case 0x0C: out += "\\f"; break;
            case 0x0D: out += "\\r"; break;
            case 0x22: out += "\\\""; break;
            case 0x5C: out += "\\\\"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0x0F];
                } else {
                    out += ch;
                }
        }
    }
    return out;
}

JsonWriter& AddString(JsonWriter& w, const std::string& name, const std::string& value) {
    AddName(w, name);
    w += '"';
    w += JsonEscape(value);
    w += '"';
    return w;
}

JsonWriter& AddInt(JsonWriter& w, const std::string& name, int64_t value) {
    AddName(w, name);
    // The magnitude as unsigned, so INT64_MIN prints right.
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char digits[24];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) w += '-';
    while (n > 0) w += digits[--n];
    return w;
}

JsonWriter& AddDouble(JsonWriter& w, const std::string& name, double value) {
    AddName(w, name);
    // "%.2f" as in the C locale whatever the process or thread locale is:
    // std::to_chars is specified as printf in the C locale and never looks
    // at the locale. The C library's 64-byte buffer keeps at most 63 bytes.
    char buffer[400];  // the longest finite double in fixed notation fits
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
    size_t n = result.ec == std::errc() ? static_cast<size_t>(result.ptr - buffer) : 0;
    if (n > 63) n = 63;
    w.append(buffer, n);
    return w;
}

JsonWriter& AddBool(JsonWriter& w, const std::string& name, bool value) {
    AddName(w, name);
    w += value ? "true" : "false";
    return w;
}

JsonWriter& AddRaw(JsonWriter& w, const std::string& name, const std::string& json) {
    AddName(w, name);
    w += json;
    return w;
}

std::string FinishObject(const JsonWriter& w) { return "{" + w + "}"; }

}  // namespace vr
