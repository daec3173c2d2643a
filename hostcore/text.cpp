#include "text.h"

#include <cstdio>

#include "errors.h"

namespace gaugehost {

std::string windowsError(DWORD code) {
    wchar_t buf[256] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                   sizeof buf / sizeof buf[0] - 1, nullptr);
    std::string s = narrow(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    return "Windows error " + std::to_string(code) + (s.empty() ? "" : " (" + s + ")");
}

std::wstring widen(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
    return w;
}

std::string narrow(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

std::string decodeText(const std::string& b) {
    auto starts = [&](const char* bom, size_t n) { return b.size() >= n && b.compare(0, n, bom, n) == 0; };
    if (starts("\xEF\xBB\xBF", 3)) return b.substr(3);
    const bool le = starts("\xFF\xFE", 2), be = starts("\xFE\xFF", 2);
    if (le || be) {
        std::wstring w;
        w.reserve(b.size() / 2);
        for (size_t i = 2; i + 1 < b.size(); i += 2) {
            const unsigned lo = uint8_t(b[le ? i : i + 1]), hi = uint8_t(b[le ? i + 1 : i]);
            w += wchar_t(lo | hi << 8);
        }
        return narrow(w);
    }
    if (b.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, b.data(), int(b.size()), nullptr, 0) > 0)
        return b;
    const int n = MultiByteToWideChar(CP_ACP, 0, b.data(), int(b.size()), nullptr, 0);
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, b.data(), int(b.size()), w.data(), n);
    return narrow(w);
}

std::optional<std::string> readFileBytes(const std::string& path, std::string& why, size_t limit) {
    const std::wstring wide = widen(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        why = "it is a folder, not a file";
        return std::nullopt;
    }
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        why = windowsError(GetLastError());
        return std::nullopt;
    }
    std::string bytes;
    char buf[1 << 16];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h, buf, sizeof buf, &got, nullptr)) {
            why = windowsError(GetLastError());
            CloseHandle(h);
            return std::nullopt;
        }
        if (got == 0) break;
        bytes.append(buf, got);
        if (bytes.size() > limit) {
            why = "it is larger than " + std::to_string(limit >> 20) + " MiB";
            CloseHandle(h);
            return std::nullopt;
        }
    }
    CloseHandle(h);
    return bytes;
}

std::string readTextFile(const std::string& path, const std::string& what) {
    std::string why;
    const std::optional<std::string> bytes = readFileBytes(path, why, 64u << 20);
    if (!bytes) throw InputError("cannot read " + what + " " + path + ": " + why);
    return decodeText(*bytes);
}

}  // namespace gaugehost
