// Text as the host handles it: UTF-8 inside, wide characters at the Windows
// API, numbers and Windows errors as messages print them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "hex.h"

namespace gaugehost {

// Text of a Windows error code: "Windows error 2 (The system cannot find ...)".
std::string windowsError(DWORD code);

// UTF-8 to the wide characters the Windows file APIs take, and back.
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);

}  // namespace gaugehost

namespace gaugehost {

// A text file's bytes as a Windows editor may have saved them, as UTF-8:
// UTF-8 with or without a byte-order mark, UTF-16 (little- or big-endian)
// with one, or else the ANSI code page when the bytes are not UTF-8. Line
// ends are left as they are.
std::string decodeText(const std::string& bytes);

// A whole file's bytes; nothing, with the reason in `why`, when it cannot
// be read (missing, a folder, no access, longer than `limit` bytes).
std::optional<std::string> readFileBytes(const std::string& path, std::string& why, size_t limit = SIZE_MAX);

// The whole file, decoded so. Throws InputError naming `what` and the path
// when it cannot be read (missing, a folder, no access).
std::string readTextFile(const std::string& path, const std::string& what);

}  // namespace gaugehost
