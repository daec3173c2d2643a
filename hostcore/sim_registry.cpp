#include "sim_registry.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <cwchar>
#include <map>
#include <type_traits>
#include <utility>

#include "guard.h"
#include "module_image.h"
#include "text.h"

namespace gaugehost {

const char kSimulatorKey[] = "SOFTWARE\\Microsoft\\Microsoft Games\\Flight Simulator\\7.0";

namespace {

// ---- the keys the module holds --------------------------------------------------------

// A key handed to the module: a real key opened for reading (its path where
// the host saw it opened), or the simulator's key, which exists only here.
struct Key {
    std::wstring path;   // "HKEY_LOCAL_MACHINE\SOFTWARE\...", empty when not known
    bool simulator = false;
};

// The stand-in's handles: no kernel handle is this large, and none is odd.
constexpr uint32_t kStandInTag = 0x5A000001u;
SRWLOCK gLock = SRWLOCK_INIT;
std::map<uint32_t, Key> gKeys;   // every key the module was handed, by handle
uint32_t gNextHandle = 0;
SimulatorValues gValues;
std::function<void(const std::string&)> gLog;

uint32_t id(HKEY h) { return uint32_t(uintptr_t(h)); }
bool standIns(HKEY h) { return (id(h) & 0xFF000001u) == kStandInTag; }

// The table is reached from module threads too. Module memory is never
// touched while the lock is held: a bad pointer of the module's faults
// without leaving it taken.
class Locked {
public:
    Locked() { AcquireSRWLockExclusive(&gLock); }
    ~Locked() { ReleaseSRWLockExclusive(&gLock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

bool sameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

// What a handle of the module's names: a predefined root, or a key it was
// handed. False for a handle the host never gave out.
bool lookUp(HKEY h, Key& out) {
    static const std::pair<uint32_t, const wchar_t*> roots[] = {
        {0x80000000u, L"HKEY_CLASSES_ROOT"}, {0x80000001u, L"HKEY_CURRENT_USER"}, {0x80000002u, L"HKEY_LOCAL_MACHINE"},
        {0x80000003u, L"HKEY_USERS"},        {0x80000005u, L"HKEY_CURRENT_CONFIG"}};
    for (const auto& [value, name] : roots)
        if (id(h) == value) {
            out = Key{name, false};
            return true;
        }
    Locked l;
    auto it = gKeys.find(id(h));
    if (it == gKeys.end()) return false;
    out = it->second;
    return true;
}

bool isSimulator(HKEY h) {
    Key k;
    return standIns(h) && lookUp(h, k) && k.simulator;
}

bool isSimulatorPath(const std::wstring& path) {
    static const std::wstring key = L"HKEY_LOCAL_MACHINE\\" + widen(kSimulatorKey);
    return !path.empty() && sameText(path, key);
}

HKEY remember(HKEY real, const Key& k) {
    Locked l;
    if (k.simulator) {
        gNextHandle = (gNextHandle + 1) & 0x3FFFFF;
        real = reinterpret_cast<HKEY>(uintptr_t(kStandInTag | (gNextHandle << 2)));
    }
    gKeys[id(real)] = k;
    return real;
}

// ---- text as the A and W functions take it -------------------------------------------

template <bool W> using Char = std::conditional_t<W, wchar_t, char>;

std::wstring fromAnsi(const char* s) {
    const int n = MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
    std::wstring w(size_t(n > 0 ? n : 1), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, s, -1, w.data(), n);
    w.resize(w.size() - 1);
    return w;
}

std::string toAnsi(const std::wstring& w) {
    const int n = WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n > 0 ? n : 1), '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    s.resize(s.size() - 1);
    return s;
}

template <bool W> std::wstring textOf(const Char<W>* s) {
    if (!s) return L"";
    if constexpr (W) return s;
    else return fromAnsi(s);
}

// ---- what the module is told -----------------------------------------------------------

void say(const std::string& line) {
    if (!gLog) return;
    try {
        gLog("registry: " + line);
    } catch (...) {
    }
}

std::string result(LONG rc) {
    switch (rc) {
        case ERROR_SUCCESS: return "0";
        case ERROR_FILE_NOT_FOUND: return "2 (not found)";
        case ERROR_ACCESS_DENIED: return "5 (access denied)";
        case ERROR_INVALID_HANDLE: return "6 (invalid handle)";
        case ERROR_INVALID_PARAMETER: return "87 (invalid parameter)";
        case ERROR_MORE_DATA: return "234 (more data)";
        case ERROR_NO_MORE_ITEMS: return "259 (no more items)";
        default: return std::to_string(rc);
    }
}

// Where the answer for a key other than the simulator's came from.
std::string source(HKEY h) { return standIns(h) ? ", a key of the stand-in's that was closed" : ", from the real registry"; }

std::string keyText(HKEY h) {
    Key k;
    return lookUp(h, k) && !k.path.empty() ? narrow(k.path) : "key " + hex(id(h));
}

// The value of the simulator's key named `name` (in any case): a REG_SZ,
// its bytes with the terminating NUL, in wide characters or in the ANSI
// code page. None for the default value, which is not set.
const std::wstring* simulatorValue(const std::wstring& name, bool present, bool wide, std::string& bytes) {
    if (!present || name.empty()) return nullptr;
    const std::wstring* v = sameText(name, L"path")         ? &gValues.path
                            : sameText(name, L"PlayerName") ? &gValues.player
                                                            : nullptr;
    if (!v) return nullptr;
    if (wide)
        bytes.assign(reinterpret_cast<const char*>(v->c_str()), (v->size() + 1) * sizeof(wchar_t));
    else
        bytes = toAnsi(*v) + '\0';
    return v;
}

// Hands over a REG_SZ as RegQueryValueEx does: its type, then its size
// alone when there is no buffer, ERROR_MORE_DATA and the size needed when
// the buffer is too small (the buffer untouched), else the bytes.
LONG answerValue(const std::string* bytes, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size) {
    if (reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
    if (!bytes) return ERROR_FILE_NOT_FOUND;
    if (type) *type = REG_SZ;
    if (!size) return ERROR_SUCCESS;
    const DWORD need = DWORD(bytes->size());
    if (data && *size < need) {
        *size = need;
        return ERROR_MORE_DATA;
    }
    if (data) std::memcpy(data, bytes->data(), need);
    *size = need;
    return ERROR_SUCCESS;
}

std::string valueText(LONG rc, const std::wstring* v, const std::string& bytes, bool data) {
    if (rc != ERROR_SUCCESS || !v) return "";
    return ", REG_SZ of " + std::to_string(bytes.size()) + " bytes" + (data ? " \"" + narrow(*v) + "\"" : "") +
           " from the stand-in";
}

// ---- opening and closing ------------------------------------------------------------------

REGSAM readOnly(REGSAM sam) { return KEY_READ | (sam & (KEY_WOW64_64KEY | KEY_WOW64_32KEY)); }

// Opens `sub` below `parent`: the simulator's key from the stand-in, any
// other through the real registry for reading only. A key that does not
// exist is never created.
LONG openKey(const std::string& fn, HKEY parent, const std::wstring* sub, REGSAM sam, HKEY* out, bool create,
             DWORD* disposition) {
    Key from;
    const bool known = lookUp(parent, from);
    const std::wstring subkey = sub ? *sub : L"";
    std::wstring path;
    if (known && !from.path.empty()) {
        std::wstring s = subkey;
        if (!s.empty() && s.back() == L'\\') s.pop_back();
        path = s.empty() ? from.path : from.path + L"\\" + s;
    }
    const std::string named = !path.empty() ? narrow(path) : keyText(parent) + "\\" + narrow(subkey);
    LONG rc = ERROR_SUCCESS;
    HKEY h = nullptr;
    std::string how;
    if (!out) {
        rc = ERROR_INVALID_PARAMETER;
    } else if (standIns(parent) && !known) {
        rc = ERROR_INVALID_HANDLE;
    } else if (from.simulator && !subkey.empty()) {
        rc = create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;   // it has no subkeys, and gets none
        if (create) how = ", refused: the host creates no key";
    } else if (from.simulator || isSimulatorPath(path)) {
        h = remember(nullptr, Key{path, true});
        how = ", the stand-in's key";
    } else {
        rc = RegOpenKeyExW(parent, sub ? sub->c_str() : nullptr, 0, readOnly(sam), &h);
        how = ", read-only from the real registry";
        if (rc == ERROR_FILE_NOT_FOUND && create) {
            rc = ERROR_ACCESS_DENIED;
            how = ", refused: the host creates no key";
        }
        if (rc == ERROR_SUCCESS) remember(h, Key{path, false});
    }
    if (out) *out = rc == ERROR_SUCCESS ? h : nullptr;
    if (disposition && rc == ERROR_SUCCESS) *disposition = REG_OPENED_EXISTING_KEY;
    say(fn + "(" + named + ") -> " + result(rc) + how);
    return rc;
}

template <bool W> LONG WINAPI openKeyShort(HKEY parent, const Char<W>* sub, HKEY* out) {
    const std::wstring s = textOf<W>(sub);
    return openKey(W ? "RegOpenKeyW" : "RegOpenKeyA", parent, sub ? &s : nullptr, KEY_READ, out, false, nullptr);
}

template <bool W> LONG WINAPI openKeyEx(HKEY parent, const Char<W>* sub, DWORD, REGSAM sam, HKEY* out) {
    const std::wstring s = textOf<W>(sub);
    return openKey(W ? "RegOpenKeyExW" : "RegOpenKeyExA", parent, sub ? &s : nullptr, sam, out, false, nullptr);
}

template <bool W> LONG WINAPI createKeyShort(HKEY parent, const Char<W>* sub, HKEY* out) {
    const std::wstring s = textOf<W>(sub);
    return openKey(W ? "RegCreateKeyW" : "RegCreateKeyA", parent, sub ? &s : nullptr, KEY_READ, out, true, nullptr);
}

template <bool W>
LONG WINAPI createKeyEx(HKEY parent, const Char<W>* sub, DWORD, Char<W>*, DWORD, REGSAM sam, SECURITY_ATTRIBUTES*,
                        HKEY* out, DWORD* disposition) {
    const std::wstring s = textOf<W>(sub);
    return openKey(W ? "RegCreateKeyExW" : "RegCreateKeyExA", parent, sub ? &s : nullptr, sam, out, true, disposition);
}

LONG WINAPI openCurrentUser(REGSAM sam, HKEY* out) {
    HKEY h = nullptr;
    const LONG rc = out ? RegOpenCurrentUser(readOnly(sam), &h) : ERROR_INVALID_PARAMETER;
    if (rc == ERROR_SUCCESS) remember(h, Key{L"HKEY_CURRENT_USER", false});
    if (out) *out = rc == ERROR_SUCCESS ? h : nullptr;
    say("RegOpenCurrentUser -> " + result(rc) + (rc == ERROR_SUCCESS ? ", read-only from the real registry" : ""));
    return rc;
}

LONG WINAPI closeKey(HKEY h) {
    const std::string named = keyText(h);
    bool known = false, simulator = false;
    {
        Locked l;
        auto it = gKeys.find(id(h));
        if (it != gKeys.end()) {
            known = true;
            simulator = it->second.simulator;
            gKeys.erase(it);
        }
    }
    const LONG rc = simulator ? ERROR_SUCCESS : standIns(h) ? ERROR_INVALID_HANDLE : RegCloseKey(h);
    say("RegCloseKey(" + named + ") -> " + result(rc) + (known || simulator ? "" : ", a key the host did not hand out"));
    return rc;
}

// Opens `sub` below `h` for a function that reads one value of it, when
// there is a subkey; the key to read and whether it must be closed.
template <bool W> LONG subkeyFor(const std::string& fn, HKEY h, const Char<W>* sub, HKEY& key, bool& opened) {
    key = h;
    opened = false;
    const std::wstring s = textOf<W>(sub);
    if (s.empty()) return ERROR_SUCCESS;
    const LONG rc = openKey(fn, h, &s, KEY_QUERY_VALUE, &key, false, nullptr);
    opened = rc == ERROR_SUCCESS;
    return rc;
}

// ---- reading ---------------------------------------------------------------------------------

template <bool W>
LONG WINAPI queryValueEx(HKEY h, const Char<W>* name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size) {
    const std::string fn = W ? "RegQueryValueExW" : "RegQueryValueExA";
    const std::wstring n = textOf<W>(name);
    if (isSimulator(h)) {
        std::string bytes;
        const std::wstring* v = simulatorValue(n, name != nullptr, W, bytes);
        const LONG rc = answerValue(v ? &bytes : nullptr, reserved, type, data, size);
        say(fn + "(" + narrow(n) + ") -> " + result(rc) + valueText(rc, v, bytes, data != nullptr));
        return rc;
    }
    LONG rc = ERROR_INVALID_HANDLE;
    if (!standIns(h)) {
        if constexpr (W) rc = RegQueryValueExW(h, name, reserved, type, data, size);
        else rc = RegQueryValueExA(h, name, reserved, type, data, size);
    }
    say(fn + "(" + keyText(h) + ", " + narrow(n) + ") -> " + result(rc) + source(h));
    return rc;
}

template <bool W> LONG WINAPI queryValue(HKEY h, const Char<W>* sub, Char<W>* data, LONG* size) {
    const std::string fn = W ? "RegQueryValueW" : "RegQueryValueA";
    HKEY key = nullptr;
    bool opened = false;
    LONG rc = subkeyFor<W>(fn, h, sub, key, opened);
    if (rc != ERROR_SUCCESS) return rc;
    if (isSimulator(key)) {
        // Its default value is not set: an empty text, as the registry
        // gives for a key without one.
        const LONG unit = LONG(sizeof(Char<W>));
        rc = data && size && *size < unit ? ERROR_MORE_DATA : ERROR_SUCCESS;
        if (data && rc == ERROR_SUCCESS) data[0] = 0;
        if (size) *size = unit;
        say(fn + "(default value) -> " + result(rc) + ", empty, from the stand-in");
    } else if (standIns(key)) {
        rc = ERROR_INVALID_HANDLE;
    } else {
        if constexpr (W) rc = RegQueryValueW(key, nullptr, data, size);
        else rc = RegQueryValueA(key, nullptr, data, size);
        say(fn + "(" + keyText(key) + ") -> " + result(rc) + ", from the real registry");
    }
    if (opened) closeKey(key);
    return rc;
}

template <bool W>
LONG WINAPI getValue(HKEY h, const Char<W>* sub, const Char<W>* value, DWORD flags, DWORD* type, void* data,
                     DWORD* size) {
    const std::string fn = W ? "RegGetValueW" : "RegGetValueA";
    HKEY key = nullptr;
    bool opened = false;
    LONG rc = subkeyFor<W>(fn, h, sub, key, opened);
    if (rc != ERROR_SUCCESS) return rc;
    const std::wstring n = textOf<W>(value);
    if (isSimulator(key)) {
        std::string bytes;
        const std::wstring* v = simulatorValue(n, value != nullptr, W, bytes);
        if (data && !size) rc = ERROR_INVALID_PARAMETER;
        else if (!v) rc = ERROR_FILE_NOT_FOUND;
        else if (!(flags & RRF_RT_REG_SZ)) rc = ERROR_UNSUPPORTED_TYPE;
        else rc = answerValue(&bytes, nullptr, type, static_cast<BYTE*>(data), size);
        if (rc != ERROR_SUCCESS && (flags & RRF_ZEROONFAILURE) && data && size) std::memset(data, 0, *size);
        say(fn + "(" + narrow(n) + ") -> " + result(rc) + valueText(rc, v, bytes, data != nullptr));
    } else if (standIns(key)) {
        rc = ERROR_INVALID_HANDLE;
    } else {
        if constexpr (W) rc = RegGetValueW(key, nullptr, value, flags, type, data, size);
        else rc = RegGetValueA(key, nullptr, value, flags, type, data, size);
        say(fn + "(" + keyText(key) + ", " + narrow(n) + ") -> " + result(rc) + ", from the real registry");
    }
    if (opened) closeKey(key);
    return rc;
}

const wchar_t* const kValueNames[] = {L"PlayerName", L"path"};

template <bool W>
LONG WINAPI enumValue(HKEY h, DWORD index, Char<W>* name, DWORD* chars, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size) {
    const std::string fn = W ? "RegEnumValueW" : "RegEnumValueA";
    LONG rc = ERROR_INVALID_HANDLE;
    if (isSimulator(h)) {
        if (!name || !chars || reserved) {
            rc = ERROR_INVALID_PARAMETER;
        } else if (index >= std::size(kValueNames)) {
            rc = ERROR_NO_MORE_ITEMS;
        } else {
            const std::wstring n = kValueNames[index];
            std::basic_string<Char<W>> encoded;
            if constexpr (W) encoded = n;
            else encoded = toAnsi(n);
            if (*chars <= encoded.size()) {
                rc = ERROR_MORE_DATA;
            } else {
                std::memcpy(name, encoded.c_str(), (encoded.size() + 1) * sizeof(Char<W>));
                *chars = DWORD(encoded.size());
                std::string bytes;
                rc = answerValue(simulatorValue(n, true, W, bytes) ? &bytes : nullptr, nullptr, type, data, size);
            }
        }
        say(fn + "(" + std::to_string(index) + ") -> " + result(rc) + ", from the stand-in");
        return rc;
    }
    if (!standIns(h)) {
        if constexpr (W) rc = RegEnumValueW(h, index, name, chars, reserved, type, data, size);
        else rc = RegEnumValueA(h, index, name, chars, reserved, type, data, size);
    }
    say(fn + "(" + keyText(h) + ", " + std::to_string(index) + ") -> " + result(rc) + source(h));
    return rc;
}

template <bool W> LONG WINAPI enumKey(HKEY h, DWORD index, Char<W>* name, DWORD chars) {
    LONG rc = ERROR_INVALID_HANDLE;
    if (isSimulator(h)) rc = ERROR_NO_MORE_ITEMS;   // the simulator's key has no subkeys
    else if (!standIns(h)) {
        if constexpr (W) rc = RegEnumKeyW(h, index, name, chars);
        else rc = RegEnumKeyA(h, index, name, chars);
    }
    say(std::string(W ? "RegEnumKeyW" : "RegEnumKeyA") + "(" + keyText(h) + ", " + std::to_string(index) + ") -> " +
        result(rc));
    return rc;
}

template <bool W>
LONG WINAPI enumKeyEx(HKEY h, DWORD index, Char<W>* name, DWORD* chars, DWORD* reserved, Char<W>* cls,
                      DWORD* clsChars, FILETIME* written) {
    LONG rc = ERROR_INVALID_HANDLE;
    if (isSimulator(h)) rc = ERROR_NO_MORE_ITEMS;
    else if (!standIns(h)) {
        if constexpr (W) rc = RegEnumKeyExW(h, index, name, chars, reserved, cls, clsChars, written);
        else rc = RegEnumKeyExA(h, index, name, chars, reserved, cls, clsChars, written);
    }
    say(std::string(W ? "RegEnumKeyExW" : "RegEnumKeyExA") + "(" + keyText(h) + ", " + std::to_string(index) +
        ") -> " + result(rc));
    return rc;
}

template <bool W>
LONG WINAPI queryInfoKey(HKEY h, Char<W>* cls, DWORD* clsChars, DWORD* reserved, DWORD* subKeys, DWORD* maxSubKey,
                         DWORD* maxClass, DWORD* values, DWORD* maxValueName, DWORD* maxValue, DWORD* security,
                         FILETIME* written) {
    const std::string fn = W ? "RegQueryInfoKeyW" : "RegQueryInfoKeyA";
    LONG rc = ERROR_INVALID_HANDLE;
    if (isSimulator(h)) {
        rc = reserved ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
        if (rc == ERROR_SUCCESS) {
            if (cls && clsChars && *clsChars) cls[0] = 0;
            if (clsChars) *clsChars = 0;
            DWORD longest = 0, largest = 0;
            for (const wchar_t* n : kValueNames) {
                std::string bytes;
                simulatorValue(n, true, W, bytes);
                longest = std::max(longest, DWORD(std::wcslen(n)));
                largest = std::max(largest, DWORD(bytes.size()));
            }
            auto put = [](DWORD* p, DWORD v) {
                if (p) *p = v;
            };
            put(subKeys, 0);
            put(maxSubKey, 0);
            put(maxClass, 0);
            put(values, DWORD(std::size(kValueNames)));
            put(maxValueName, longest);
            put(maxValue, largest);
            put(security, 0);
            if (written) *written = FILETIME{0, 0};
        }
        say(fn + " -> " + result(rc) + ", from the stand-in");
        return rc;
    }
    if (!standIns(h)) {
        if constexpr (W)
            rc = RegQueryInfoKeyW(h, cls, clsChars, reserved, subKeys, maxSubKey, maxClass, values, maxValueName,
                                  maxValue, security, written);
        else
            rc = RegQueryInfoKeyA(h, cls, clsChars, reserved, subKeys, maxSubKey, maxClass, values, maxValueName,
                                  maxValue, security, written);
    }
    say(fn + "(" + keyText(h) + ") -> " + result(rc) + source(h));
    return rc;
}

LONG WINAPI notifyChange(HKEY h, BOOL subtree, DWORD filter, HANDLE event, BOOL async) {
    // The simulator's key never changes: a caller that waits is answered
    // at once, one that asks for an event is never signalled.
    const LONG rc = isSimulator(h) ? ERROR_SUCCESS
                    : standIns(h)  ? ERROR_INVALID_HANDLE
                                   : RegNotifyChangeKeyValue(h, subtree, filter, event, async);
    say("RegNotifyChangeKeyValue(" + keyText(h) + ") -> " + result(rc));
    return rc;
}

// Flushing writes the hive out: nothing to do for a registry the host
// does not change.
LONG WINAPI flushKey(HKEY h) {
    say("RegFlushKey(" + keyText(h) + ") -> 0, nothing to write");
    return ERROR_SUCCESS;
}

struct Routine {
    const char* name;
    void* routine;
};
template <typename F> void* routine(F* f) { return reinterpret_cast<void*>(f); }

const Routine kAnswered[] = {
    {"RegOpenKeyA", routine(&openKeyShort<false>)},       {"RegOpenKeyW", routine(&openKeyShort<true>)},
    {"RegOpenKeyExA", routine(&openKeyEx<false>)},        {"RegOpenKeyExW", routine(&openKeyEx<true>)},
    {"RegCreateKeyA", routine(&createKeyShort<false>)},   {"RegCreateKeyW", routine(&createKeyShort<true>)},
    {"RegCreateKeyExA", routine(&createKeyEx<false>)},    {"RegCreateKeyExW", routine(&createKeyEx<true>)},
    {"RegOpenCurrentUser", routine(&openCurrentUser)},    {"RegCloseKey", routine(&closeKey)},
    {"RegQueryValueExA", routine(&queryValueEx<false>)},  {"RegQueryValueExW", routine(&queryValueEx<true>)},
    {"RegQueryValueA", routine(&queryValue<false>)},      {"RegQueryValueW", routine(&queryValue<true>)},
    {"RegGetValueA", routine(&getValue<false>)},          {"RegGetValueW", routine(&getValue<true>)},
    {"RegEnumValueA", routine(&enumValue<false>)},        {"RegEnumValueW", routine(&enumValue<true>)},
    {"RegEnumKeyA", routine(&enumKey<false>)},            {"RegEnumKeyW", routine(&enumKey<true>)},
    {"RegEnumKeyExA", routine(&enumKeyEx<false>)},        {"RegEnumKeyExW", routine(&enumKeyEx<true>)},
    {"RegQueryInfoKeyA", routine(&queryInfoKey<false>)},  {"RegQueryInfoKeyW", routine(&queryInfoKey<true>)},
    {"RegNotifyChangeKeyValue", routine(&notifyChange)}, {"RegFlushKey", routine(&flushKey)},
};

// ---- writing, refused -----------------------------------------------------------------------

// Every function that would change the registry (or save, load or hand
// out more than a key to read), with its number of arguments: each returns
// ERROR_ACCESS_DENIED, having done nothing.
struct Refusal {
    const char* name;
    int args;
};
constexpr Refusal kRefused[] = {
    {"RegSetValueA", 5},         {"RegSetValueW", 5},         {"RegSetValueExA", 6},        {"RegSetValueExW", 6},
    {"RegSetKeyValueA", 6},      {"RegSetKeyValueW", 6},      {"RegDeleteKeyA", 2},         {"RegDeleteKeyW", 2},
    {"RegDeleteKeyExA", 4},      {"RegDeleteKeyExW", 4},      {"RegDeleteValueA", 2},       {"RegDeleteValueW", 2},
    {"RegDeleteTreeA", 2},       {"RegDeleteTreeW", 2},       {"RegDeleteKeyValueA", 3},    {"RegDeleteKeyValueW", 3},
    {"RegCopyTreeA", 3},         {"RegCopyTreeW", 3},         {"RegSaveKeyA", 3},           {"RegSaveKeyW", 3},
    {"RegSaveKeyExA", 4},        {"RegSaveKeyExW", 4},        {"RegRestoreKeyA", 3},        {"RegRestoreKeyW", 3},
    {"RegLoadKeyA", 3},          {"RegLoadKeyW", 3},          {"RegUnLoadKeyA", 2},         {"RegUnLoadKeyW", 2},
    {"RegReplaceKeyA", 4},       {"RegReplaceKeyW", 4},       {"RegLoadAppKeyA", 5},        {"RegLoadAppKeyW", 5},
    {"RegSetKeySecurity", 3},    {"RegGetKeySecurity", 4},    {"RegRenameKey", 3},          {"RegOverridePredefKey", 2},
    {"RegConnectRegistryA", 3},  {"RegConnectRegistryW", 3},  {"RegOpenKeyTransactedA", 7}, {"RegOpenKeyTransactedW", 7},
    {"RegCreateKeyTransactedA", 11}, {"RegCreateKeyTransactedW", 11}, {"RegDeleteKeyTransactedA", 6},
    {"RegDeleteKeyTransactedW", 6},  {"RegDisableReflectionKey", 1},  {"RegEnableReflectionKey", 1},
    {"RegQueryMultipleValuesA", 5},  {"RegQueryMultipleValuesW", 5},
};
constexpr size_t kRefusals = std::size(kRefused);

template <size_t> using Word = uint32_t;
template <size_t I, size_t... J> LONG WINAPI refuse(Word<J>...) {
    say(std::string(kRefused[I].name) + " -> " + result(ERROR_ACCESS_DENIED) + ", refused: the host writes nothing "
        "to the registry");
    return ERROR_ACCESS_DENIED;
}
template <size_t I, size_t... J> void* refusalOf(std::index_sequence<J...>) { return routine(&refuse<I, J...>); }
template <size_t... I> std::array<Routine, kRefusals> refusals(std::index_sequence<I...>) {
    return {Routine{kRefused[I].name, refusalOf<I>(std::make_index_sequence<kRefused[I].args>())}...};
}
const std::array<Routine, kRefusals> kRefusalRoutines = refusals(std::make_index_sequence<kRefusals>());

// ---- any other, stopped ---------------------------------------------------------------------

// A registry function the host knows nothing of: its argument count is not
// known either, so it cannot return; it abandons the module call instead.
constexpr unsigned kTraps = 16;
std::array<std::string, kTraps> gTrapNames;
template <unsigned I> void WINAPI trap() {
    abortModuleCall("module called " + gTrapNames[I] + ", a registry function this host does not answer");
}
template <unsigned... I> std::array<void*, kTraps> traps(std::integer_sequence<unsigned, I...>) {
    return {routine(&trap<I>)...};
}

void* trapFor(const std::string& name) {
    static const std::array<void*, kTraps> all = traps(std::make_integer_sequence<unsigned, kTraps>());
    for (unsigned i = 0; i < kTraps; ++i)
        if (gTrapNames[i] == name || gTrapNames[i].empty()) {
            gTrapNames[i] = name;
            return all[i];
        }
    gTrapNames[kTraps - 1] = "one of several registry functions the module imports";
    return all[kTraps - 1];
}

// ---- the module's import table ----------------------------------------------------------

bool registryDll(std::string dll) {
    for (char& c : dll) c = char(std::tolower(static_cast<unsigned char>(c)));
    return dll == "advapi32.dll" || dll == "kernel32.dll" || dll == "kernelbase.dll" ||
           dll.rfind("api-ms-win-core-registry", 0) == 0;
}

bool registryName(const std::string& name) { return name.rfind("Reg", 0) == 0 && name.rfind("Register", 0) != 0; }

// The registry function an import is, and the host's routine for it: by
// its name, or, imported by ordinal, by the address it was bound to. Null
// for any other import.
const Routine* known(const ModuleImage& m, const ModuleImage::ImportedFunction& f) {
    auto match = [&](const Routine& r) {
        if (!f.name.empty()) return f.name == r.name;
        HMODULE dll = GetModuleHandleA(f.dll.c_str());
        const FARPROC p = dll ? GetProcAddress(dll, r.name) : nullptr;
        return p && uint32_t(uintptr_t(p)) == m.u32(f.slot, "import address table");
    };
    for (const Routine& r : kAnswered)
        if (match(r)) return &r;
    for (const Routine& r : kRefusalRoutines)
        if (match(r)) return &r;
    return nullptr;
}

}  // namespace

bool importsRegistry(const ModuleImage& m) {
    for (const ModuleImage::ImportedFunction& f : m.importedFunctions())
        if (registryDll(f.dll) && (registryName(f.name) || known(m, f))) return true;
    return false;
}

std::vector<std::string> routeRegistry(const ModuleImage& m, const SimulatorValues& values,
                                       std::function<void(const std::string&)> log) {
    {
        Locked l;
        gValues = values;
    }
    gLog = std::move(log);
    std::vector<std::string> routed;
    for (const ModuleImage::ImportedFunction& f : m.importedFunctions()) {
        if (!registryDll(f.dll)) continue;
        const Routine* r = known(m, f);
        if (!r && !registryName(f.name)) continue;
        const std::string name = r ? r->name : f.name;
        m.routeImport(f.slot, r ? r->routine : trapFor(name + " (" + f.dll + ")"));
        routed.push_back(name);
    }
    return routed;
}

void quietRegistry() { gLog = nullptr; }

}  // namespace gaugehost
