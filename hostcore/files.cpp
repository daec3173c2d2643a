#include "files.h"

#include <windows.h>

#include <cstdint>

#include "errors.h"
#include "module_image.h"

namespace gaugehost {

namespace {

[[noreturn]] void cannot(const std::string& path, const std::string& why) {
    throw InputError("cannot write " + path + ": " + why);
}

// An existing target must be an ordinary file: renaming over a device or a
// pipe would replace it rather than write to it.
void requireOrdinaryTarget(const std::string& path, const std::wstring& wide) {
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) cannot(path, "it is a folder");
    HANDLE h = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) cannot(path, windowsError(GetLastError()));
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    if (type != FILE_TYPE_DISK) cannot(path, "it is not an ordinary file");
}

}  // namespace

void writeFileAtomically(const std::string& path, const std::string& bytes) {
    const std::wstring target = widen(path);
    requireOrdinaryTarget(path, target);
    // The temporary file lies in the target's own folder, so that the
    // rename stays within one file system.
    wchar_t full[MAX_PATH * 4] = {};
    wchar_t* name = nullptr;
    if (!GetFullPathNameW(target.c_str(), sizeof full / sizeof full[0], full, &name) || !name)
        cannot(path, "not a file name");
    const std::wstring folder(full, size_t(name - full));
    const std::wstring temp = folder + L"." + name + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) cannot(path, windowsError(GetLastError()));
    auto fail = [&](const std::string& why) {
        CloseHandle(h);
        DeleteFileW(temp.c_str());
        cannot(path, why);
    };
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD wrote = 0;
        const DWORD chunk = DWORD(std::min<size_t>(bytes.size() - done, 1 << 20));
        if (!WriteFile(h, bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0)
            fail(windowsError(GetLastError()));
        done += wrote;
    }
    if (!FlushFileBuffers(h)) fail(windowsError(GetLastError()));
    if (!CloseHandle(h)) {
        DeleteFileW(temp.c_str());
        cannot(path, windowsError(GetLastError()));
    }
    if (!MoveFileExW(temp.c_str(), full, MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = GetLastError();
        DeleteFileW(temp.c_str());
        cannot(path, windowsError(error));
    }
}

void writePng(const Picture& p, const std::string& path) { writeFileAtomically(path, encodePng(p)); }

}  // namespace gaugehost
