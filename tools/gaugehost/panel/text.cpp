// A text file kept byte for byte (text.h).
#include "text.h"

#include <array>
#include <cstdint>

namespace gaugehost::panel {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Windows-1252 from 0x80 to 0x9F. The five bytes it leaves undefined read as
// the C1 control of the same value, as Windows reads them, so that every
// byte decodes and encodes back to itself.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

struct Step {
    char32_t cp;
    std::size_t length;  // bytes of the encoding read
};

// One UTF-8 sequence at `pos`, or nothing when it is not a valid one
// (overlong forms, surrogates and values past U+10FFFF included).
std::optional<Step> utf8Step(std::string_view s, std::size_t pos) {
    const auto b = static_cast<unsigned char>(s[pos]);
    if (b < 0x80) return Step{b, 1};
    std::size_t n;
    char32_t cp, min;
    if (b >= 0xC2 && b <= 0xDF) n = 2, cp = b & 0x1F, min = 0x80;
    else if (b >= 0xE0 && b <= 0xEF) n = 3, cp = b & 0x0F, min = 0x800;
    else if (b >= 0xF0 && b <= 0xF4) n = 4, cp = b & 0x07, min = 0x10000;
    else return std::nullopt;
    if (pos + n > s.size()) return std::nullopt;
    for (std::size_t i = 1; i < n; ++i) {
        const auto c = static_cast<unsigned char>(s[pos + i]);
        if ((c & 0xC0) != 0x80) return std::nullopt;
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    return Step{cp, n};
}

char16_t unitAt(std::string_view s, std::size_t pos, bool bigEndian) {
    const auto a = static_cast<unsigned char>(s[pos]), b = static_cast<unsigned char>(s[pos + 1]);
    return static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
}

// One character of `raw` in encoding `e` at `pos`; never fails.
Step step(Encoding e, std::string_view raw, std::size_t pos) {
    switch (e) {
    case Encoding::Ansi: {
        const auto b = static_cast<unsigned char>(raw[pos]);
        return {b >= 0x80 && b < 0xA0 ? char32_t{kCp1252High[b - 0x80]} : char32_t{b}, 1};
    }
    case Encoding::Utf16LE:
    case Encoding::Utf16BE: {
        const bool be = e == Encoding::Utf16BE;
        if (pos + 2 > raw.size()) return {kReplacement, 1};   // an odd last byte
        const char16_t u = unitAt(raw, pos, be);
        if (u >= 0xD800 && u <= 0xDBFF && pos + 4 <= raw.size()) {
            const char16_t lo = unitAt(raw, pos + 2, be);
            if (lo >= 0xDC00 && lo <= 0xDFFF)
                return {0x10000 + ((char32_t{u} - 0xD800) << 10) + (lo - 0xDC00), 4};
        }
        if (u >= 0xD800 && u <= 0xDFFF) return {kReplacement, 2};
        return {u, 2};
    }
    default:
        if (auto s = utf8Step(raw, pos)) return *s;
        return {kReplacement, 1};
    }
}

std::size_t utf8Length(char32_t cp) {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void appendUnit(std::string& out, char16_t u, bool bigEndian) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
}

std::optional<char> cp1252Byte(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
    for (std::size_t i = 0; i < kCp1252High.size(); ++i)
        if (kCp1252High[i] == cp) return static_cast<char>(0x80 + i);
    return std::nullopt;
}

std::optional<std::u32string> codePoints(std::string_view utf8) {
    std::u32string out;
    for (std::size_t pos = 0; pos < utf8.size();) {
        const auto s = utf8Step(utf8, pos);
        if (!s) return std::nullopt;
        out += s->cp;
        pos += s->length;
    }
    return out;
}

Encoding detect(std::string_view bytes, std::size_t& bomLength) {
    bomLength = 0;
    if (bytes.starts_with("\xEF\xBB\xBF")) return bomLength = 3, Encoding::Utf8Bom;
    if (bytes.starts_with("\xFF\xFE")) return bomLength = 2, Encoding::Utf16LE;
    if (bytes.starts_with("\xFE\xFF")) return bomLength = 2, Encoding::Utf16BE;
    bool ascii = true;
    for (std::size_t pos = 0; pos < bytes.size();) {
        const auto s = utf8Step(bytes, pos);
        if (!s) return Encoding::Ansi;
        ascii = ascii && s->cp < 0x80;
        pos += s->length;
    }
    return ascii ? Encoding::Ascii : Encoding::Utf8;
}

}  // namespace

const char* encodingName(Encoding e) {
    switch (e) {
    case Encoding::Ascii: return "ASCII";
    case Encoding::Utf8: return "UTF-8";
    case Encoding::Utf8Bom: return "UTF-8 with BOM";
    case Encoding::Utf16LE: return "UTF-16LE";
    case Encoding::Utf16BE: return "UTF-16BE";
    case Encoding::Ansi: return "ANSI (Windows-1252)";
    }
    return "?";
}

TextFile TextFile::decode(std::string_view bytes) {
    TextFile f;
    std::size_t bomLength;
    f.encoding_ = detect(bytes, bomLength);
    f.bom_ = bytes.substr(0, bomLength);
    const std::string_view body = bytes.substr(bomLength);
    const bool wide = f.encoding_ == Encoding::Utf16LE || f.encoding_ == Encoding::Utf16BE;
    const bool be = f.encoding_ == Encoding::Utf16BE;
    const std::size_t unit = wide ? 2 : 1;
    auto at = [&](std::size_t pos) -> char32_t {
        return wide ? unitAt(body, pos, be) : static_cast<unsigned char>(body[pos]);
    };
    std::size_t start = 0, pos = 0;
    auto endLine = [&](std::size_t endingLength) {
        TextLine line;
        line.raw = body.substr(start, pos - start);
        line.ending = body.substr(pos, endingLength);
        line.text = f.decodeText(line.raw);
        f.lines_.push_back(std::move(line));
        pos += endingLength;
        start = pos;
    };
    while (pos + unit <= body.size()) {
        const char32_t c = at(pos);
        if (c == '\n') endLine(unit);
        else if (c == '\r') endLine(pos + 2 * unit <= body.size() && at(pos + unit) == '\n' ? 2 * unit : unit);
        else pos += unit;
    }
    pos = body.size();   // an odd byte left at the end of UTF-16 stays in the last line
    if (start < pos) endLine(0);
    return f;
}

std::string TextFile::encode() const {
    std::string out = bom_;
    for (const TextLine& l : lines_) out += l.raw + l.ending;
    return out;
}

std::string TextFile::decodeText(std::string_view raw) const {
    std::string out;
    for (std::size_t pos = 0; pos < raw.size();) {
        const Step s = step(encoding_, raw, pos);
        appendUtf8(out, s.cp);
        pos += s.length;
    }
    return out;
}

std::size_t TextFile::rawOffset(std::string_view raw, std::size_t textOffset) const {
    std::size_t pos = 0, text = 0;
    while (pos < raw.size() && text < textOffset) {
        const Step s = step(encoding_, raw, pos);
        text += utf8Length(s.cp);
        pos += s.length;
    }
    return pos;
}

std::optional<std::string> TextFile::encodeText(std::string_view utf8) const {
    const auto cps = codePoints(utf8);
    if (!cps) return std::nullopt;
    std::string out;
    switch (encoding_) {
    case Encoding::Utf8:
    case Encoding::Utf8Bom:
        return std::string(utf8);
    case Encoding::Utf16LE:
    case Encoding::Utf16BE:
        for (char32_t cp : *cps) {
            const bool be = encoding_ == Encoding::Utf16BE;
            if (cp < 0x10000) {
                appendUnit(out, static_cast<char16_t>(cp), be);
            } else {
                appendUnit(out, static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)), be);
                appendUnit(out, static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)), be);
            }
        }
        return out;
    case Encoding::Ascii:
    case Encoding::Ansi:
        for (char32_t cp : *cps) {
            const auto b = cp1252Byte(cp);
            if (!b) return encoding_ == Encoding::Ascii ? std::optional(std::string(utf8)) : std::nullopt;
            out += *b;
        }
        return out;
    }
    return std::nullopt;
}

std::string TextFile::newline() const {
    // The most frequent ending; the first one seen on a tie.
    std::vector<std::pair<std::string, int>> counts;
    for (const TextLine& l : lines_) {
        if (l.ending.empty()) continue;
        auto it = counts.begin();
        while (it != counts.end() && it->first != l.ending) ++it;
        if (it == counts.end()) counts.emplace_back(l.ending, 1);
        else ++it->second;
    }
    const std::pair<std::string, int>* best = nullptr;
    for (const auto& c : counts)
        if (!best || c.second > best->second) best = &c;
    return best ? best->first : *encodeText("\r\n");
}

bool TextFile::replace(std::size_t index, std::size_t begin, std::size_t end, std::string_view utf8) {
    const auto encoded = encodeText(utf8);
    if (!encoded) return false;
    TextLine& l = lines_.at(index);
    const std::size_t rawBegin = rawOffset(l.raw, begin), rawEnd = rawOffset(l.raw, end);
    l.raw = l.raw.substr(0, rawBegin) + *encoded + l.raw.substr(rawEnd);
    l.text = l.text.substr(0, begin) + std::string(utf8) + l.text.substr(end);
    return true;
}

bool TextFile::insert(std::size_t index, std::string_view utf8) {
    const auto encoded = encodeText(utf8);
    if (!encoded) return false;
    TextLine line{*encoded, newline(), std::string(utf8)};
    if (index == lines_.size() && index > 0 && lines_.back().ending.empty()) {
        lines_.back().ending = line.ending;
        line.ending.clear();
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(index), std::move(line));
    return true;
}

void TextFile::erase(std::size_t index) {
    if (index + 1 == lines_.size() && index > 0 && lines_[index].ending.empty())
        lines_[index - 1].ending.clear();
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(index));
}

}  // namespace gaugehost::panel
