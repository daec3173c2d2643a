// The command line's Windows part: the process's own arguments, batch lines
// split as Windows splits a command line, and wildcards in module names,
// which on Windows the program expands itself (cmd.exe leaves them alone).
#include <windows.h>

#include <algorithm>
#include <shellapi.h>

#include "cli.h"
#include "hostcore/text.h"

namespace gaugehost {

namespace {

std::vector<std::string> split(const std::wstring& line) {
    int n = 0;
    LPWSTR* w = CommandLineToArgvW(line.c_str(), &n);
    std::vector<std::string> out;
    for (int i = 1; i < n; ++i) out.push_back(narrow(w[i]));
    LocalFree(w);
    return out;
}

wchar_t upper(wchar_t c) { return wchar_t(reinterpret_cast<uintptr_t>(CharUpperW(reinterpret_cast<LPWSTR>(uintptr_t(c))))); }

// Whether a file name matches a pattern of * (any run of characters) and ?
// (any one), ignoring case as Windows does. FindFirstFileW also matches the
// short 8.3 names ("*.gau" finds "old.gau~" by OLDGAU~1.GAU): its finds are
// held to this.
bool matches(const wchar_t* p, const wchar_t* n) {
    for (; *p; ++p, ++n) {
        if (*p == L'*') {
            for (const wchar_t* rest = n;; ++rest) {
                if (matches(p + 1, rest)) return true;
                if (!*rest) return false;
            }
        }
        if (!*n || (*p != L'?' && upper(*p) != upper(*n))) return false;
    }
    return !*n;
}

// The files a pattern names, sorted by name; the pattern as given when it
// has no wildcard.
std::vector<std::string> expand(const std::string& pattern) {
    if (pattern.find_first_of("*?") == std::string::npos) return {pattern};
    const size_t slash = pattern.find_last_of("/\\");
    const size_t folderEnd = slash != std::string::npos                       ? slash + 1
                             : pattern.size() > 1 && pattern[1] == ':' ? 2
                                                                       : 0;
    const std::string folder = pattern.substr(0, folderEnd);
    if (folder.find_first_of("*?") != std::string::npos)
        throw UsageError("'" + pattern + "': wildcards may stand only in the file name, not in its folder");
    const std::wstring name = widen(pattern.substr(folderEnd));
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW(widen(pattern).c_str(), &d);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && matches(name.c_str(), d.cFileName))
                found.push_back(d.cFileName);
        } while (FindNextFileW(h, &d));
        FindClose(h);
    }
    if (found.empty()) throw InputError("no file matches " + pattern);
    // In the order a listing shows them: case aside, then by code unit.
    std::sort(found.begin(), found.end(), [](const std::wstring& a, const std::wstring& b) {
        std::wstring ua = a, ub = b;
        for (wchar_t& c : ua) c = upper(c);
        for (wchar_t& c : ub) c = upper(c);
        return ua != ub ? ua < ub : a < b;
    });
    std::vector<std::string> out;
    for (const std::wstring& f : found) out.push_back(folder + narrow(f));
    return out;
}

}  // namespace

std::vector<std::string> commandLineArguments() { return split(GetCommandLineW()); }

std::vector<std::string> splitCommandLine(const std::string& line) {
    if (line.find_first_not_of(" \t") == std::string::npos) return {};
    return split(L"gaugehost " + widen(line));
}

void expandModules(Options& o) {
    std::vector<std::string> all;
    for (const std::string& m : o.modules) {
        const std::vector<std::string> files = expand(m);
        all.insert(all.end(), files.begin(), files.end());
    }
    for (const CommandRow& c : commandTable())
        if (c.id == o.commandBit && c.modules == 1 && all.size() > 1)
            throw UsageError("'" + o.modules[0] + "' matches " + std::to_string(all.size()) + " files; " + o.command +
                             " takes one module");
    o.modules = all;
    if (!all.empty()) o.module = all[0];
}

}  // namespace gaugehost
