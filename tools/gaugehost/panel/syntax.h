// The panel file's syntax, line by line: what reading and editing share
// (internal to panel_file.cpp and panel_edit.cpp).
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "panel_file.h"

namespace gaugehost::panel {

// A stretch of a line's UTF-8 text.
struct Span {
    std::size_t begin = 0, end = 0;
    std::string_view of(std::string_view line) const { return line.substr(begin, end - begin); }
};

// One line taken apart. Comments (`;` or `//` to the end) are left out;
// spans are trimmed of spaces and tabs.
struct Lexed {
    enum Kind { Blank, Header, BadHeader, Pair, NoPair } kind = Blank;
    Span body;         // the line without its comment
    Span name;         // Header: between the brackets
    Span key, value;   // Pair (an empty value sits just after the '=')
};
Lexed lex(std::string_view line);

std::string lower(std::string_view s);

// "window00" -> 0; nothing for another name. Numbers of more than nine
// digits (leading zeros aside) are -1.
std::optional<int> numbered(std::string_view lowerName, std::string_view prefix);

// A gauge line's value, with where each part stands on the line.
struct GaugeValue {
    std::string module, gauge;
    int x = 0, y = 0;
    std::optional<int> width, height;
    std::vector<std::string> extra;
    Span moduleSpan, gaugeSpan;
    std::vector<Span> fields;   // every comma-separated field: [0] module!gauge, [1] x ...
};
// Reads the value of gauge key `key` (lower case) on `line`; returns the
// error, or "" with `out` filled.
std::string readGauge(std::string_view line, Span value, std::string_view key, GaugeValue& out);

// The keys of a window the reader takes, by their one spelling
// ("background_colour" is "background_color"); "" for any other key.
std::string settingKey(std::string_view lowerKey);
// Reads setting `key` into `w`; returns the error, or "".
std::string readSetting(Window& w, std::string_view key, std::string_view value);

// What an editor may write where the reader would read back the same: a
// module name that names a file in a folder and nothing else (no path,
// device or wildcard, nor what ends the name on a gauge line), a gauge name
// and a value without commas (gauge names only), comments, control
// characters or surrounding spaces.
bool moduleNameOk(std::string_view module);
bool plainValueOk(std::string_view value, bool allowComma);

std::string quoted(std::string_view s);   // 'like this'

// Where sections and keys are, for the edits (line indices from 0).
struct WindowLines {
    std::size_t header = 0;
    std::size_t lastSetting = 0;   // the last key line that is no gauge, else the header
    std::size_t lastContent = 0;   // the last line that holds a header or a key
    std::map<std::string, std::vector<std::size_t>> settings;   // by settingKey()
    std::vector<std::pair<int, std::size_t>> gaugeKeys;        // every gaugeNN line, read or not
};
struct TitleLines {
    std::optional<std::size_t> header;
    std::size_t lastContent = 0;
    std::map<int, std::vector<std::size_t>> keys;   // WindowNN lines by NN
};
struct PanelIndex {
    std::map<int, WindowLines> windows;
    TitleLines titles;
    std::optional<std::size_t> firstWindow;   // the first window header
};

}  // namespace gaugehost::panel
