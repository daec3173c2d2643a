// A text file kept byte for byte: its encoding, its byte-order mark and its
// lines with their own endings. Callers see every line as UTF-8; an edited
// or added line is written back in the file's encoding, and every other byte
// stays as it was, so that an unedited file encodes to exactly its input.
//
// Pure: no file system, no platform headers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gaugehost::panel {

enum class Encoding {
    Ascii,    // no byte above 0x7F; text added later is written as Windows-1252
              // when it can be, else as UTF-8
    Utf8,     // valid UTF-8 without a byte-order mark
    Utf8Bom,  // a UTF-8 byte-order mark (undecodable bytes read as U+FFFD)
    Utf16LE,  // UTF-16 with a little-endian byte-order mark
    Utf16BE,  // UTF-16 with a big-endian byte-order mark
    Ansi,     // not valid UTF-8: Windows-1252, the simulator's own
};

// "ASCII", "UTF-8", "UTF-8 with BOM", "UTF-16LE", "UTF-16BE", "ANSI (Windows-1252)".
const char* encodingName(Encoding e);

struct TextLine {
    std::string raw;     // the line's bytes in the file's encoding, without its ending
    std::string ending;  // its ending's bytes (CR LF, LF or a lone CR, in the
                         // encoding's units), empty for a last line without one
    std::string text;    // the line as UTF-8
};

class TextFile {
public:
    // Never fails: every byte sequence is some text (see Encoding).
    static TextFile decode(std::string_view bytes);

    Encoding encoding() const { return encoding_; }
    const std::vector<TextLine>& lines() const { return lines_; }

    // The byte-order mark and every line with its ending.
    std::string encode() const;

    // Edits. Each returns false, changing nothing, when `utf8` is not valid
    // UTF-8 or cannot be written in the file's encoding.
    // Replaces the text [begin, end) of line `index` (offsets into its UTF-8
    // text, on character boundaries); the line's other bytes stay.
    bool replace(std::size_t index, std::size_t begin, std::size_t end, std::string_view utf8);
    // Inserts a line before line `index` (at the end when index == size),
    // ended like most of the file's lines (CR LF in a file without any). A
    // file that ended without a line ending still does.
    bool insert(std::size_t index, std::string_view utf8);
    // Removes line `index` with its ending; a file that ended without a line
    // ending still does.
    void erase(std::size_t index);

private:
    std::optional<std::string> encodeText(std::string_view utf8) const;
    std::string decodeText(std::string_view raw) const;
    std::size_t rawOffset(std::string_view raw, std::size_t textOffset) const;
    std::string newline() const;

    Encoding encoding_ = Encoding::Ascii;
    std::string bom_;
    std::vector<TextLine> lines_;
};

}  // namespace gaugehost::panel
