// The switch sound player's platform calls, made for real: window lookup,
// the registry, multimedia file I/O, global memory and DirectSound.
// DirectSoundCreate is imported from dsound.dll by ordinal 1.
#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

#include "sound_platform_win32.h"

namespace lumivane {

static_assert(sizeof(ChunkInfo) == sizeof(MMCKINFO), "ChunkInfo is MMCKINFO");
static_assert(sizeof(WaveFormat) == sizeof(WAVEFORMATEX), "WaveFormat is WAVEFORMATEX");
static_assert(sizeof(BufferDesc) == sizeof(DSBUFFERDESC), "BufferDesc is DSBUFFERDESC");
static_assert(kSeekSet == SEEK_SET && kSeekEnd == SEEK_END, "mmioSeek origins");
static_assert(kLargestBuffer == DSBSIZE_MAX, "DirectSound's largest buffer");

namespace {

IDirectSound* asDevice(Handle h) { return static_cast<IDirectSound*>(h); }
IDirectSoundBuffer* asBuffer(Handle h) { return static_cast<IDirectSoundBuffer*>(h); }

Handle findWindow(const char* windowClass) { return FindWindowA(windowClass, nullptr); }

int32_t createDevice(Handle* device) {
    IDirectSound* created = nullptr;
    const HRESULT hr = DirectSoundCreate(nullptr, &created, nullptr);
    *device = created;
    return hr;
}

int32_t setCooperativeLevel(Handle device, Handle window, uint32_t level) {
    return asDevice(device)->SetCooperativeLevel(static_cast<HWND>(window), level);
}

int32_t openKey(uint32_t root, const char* subkey, uint32_t access, Handle* key) {
    HKEY opened = nullptr;
    const LONG rc = RegOpenKeyExA(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(root)), subkey, 0,
                                  access, &opened);
    *key = opened;
    return rc;
}

int32_t queryValue(Handle key, const char* name, void* data, uint32_t* bytes) {
    DWORD size = *bytes;
    const LONG rc = RegQueryValueExA(static_cast<HKEY>(key), name, nullptr, nullptr,
                                     static_cast<BYTE*>(data), &size);
    *bytes = size;
    return rc;
}

int32_t closeKey(Handle key) { return RegCloseKey(static_cast<HKEY>(key)); }

void* allocate(uint32_t bytes, bool zeroed) {
    return GlobalAlloc(zeroed ? GPTR : GMEM_FIXED, bytes);
}

void release(void* block) { GlobalFree(block); }

Handle openFile(char* path, uint32_t flags) { return mmioOpenA(path, nullptr, flags); }

int32_t descend(Handle file, ChunkInfo* chunk, const ChunkInfo* parent, uint32_t flags) {
    return mmioDescend(static_cast<HMMIO>(file), reinterpret_cast<MMCKINFO*>(chunk),
                       reinterpret_cast<const MMCKINFO*>(parent), flags);
}

int32_t read(Handle file, void* data, int32_t bytes) {
    return mmioRead(static_cast<HMMIO>(file), static_cast<HPSTR>(data), bytes);
}

int32_t seek(Handle file, int32_t offset, int32_t origin) {
    return mmioSeek(static_cast<HMMIO>(file), offset, origin);
}

int32_t ascend(Handle file, ChunkInfo* chunk, uint32_t flags) {
    return mmioAscend(static_cast<HMMIO>(file), reinterpret_cast<MMCKINFO*>(chunk), flags);
}

int32_t closeFile(Handle file, uint32_t flags) { return mmioClose(static_cast<HMMIO>(file), flags); }

int32_t createBuffer(Handle device, const BufferDesc* desc, Handle* buffer) {
    IDirectSoundBuffer* created = nullptr;
    const HRESULT hr = asDevice(device)->CreateSoundBuffer(
        reinterpret_cast<const DSBUFFERDESC*>(desc), &created, nullptr);
    *buffer = created;
    return hr;
}

int32_t lock(Handle buffer, uint32_t offset, uint32_t bytes, LockedRegions* r, uint32_t flags) {
    DWORD first = 0, second = 0;
    const HRESULT hr = asBuffer(buffer)->Lock(offset, bytes, &r->first, &first, &r->second, &second, flags);
    r->firstBytes = first;
    r->secondBytes = second;
    return hr;
}

int32_t unlock(Handle buffer, const LockedRegions* r) {
    return asBuffer(buffer)->Unlock(r->first, r->firstBytes, r->second, r->secondBytes);
}

int32_t setPosition(Handle buffer, uint32_t position) {
    return asBuffer(buffer)->SetCurrentPosition(position);
}

int32_t play(Handle buffer, uint32_t reserved, uint32_t priority, uint32_t flags) {
    return asBuffer(buffer)->Play(reserved, priority, flags);
}

int32_t status(Handle buffer, uint32_t* out) {
    DWORD s = 0;
    const HRESULT hr = asBuffer(buffer)->GetStatus(&s);
    *out = s;
    return hr;
}

void releaseBuffer(Handle buffer) { asBuffer(buffer)->Release(); }
void releaseDevice(Handle device) { asDevice(device)->Release(); }

}  // namespace

constinit const SoundPlatform kWin32SoundPlatform = {
    findWindow, createDevice, setCooperativeLevel,
    openKey, queryValue, closeKey,
    allocate, release,
    openFile, descend, read, seek, ascend, closeFile,
    createBuffer, lock, unlock, setPosition, play, status,
    releaseBuffer, releaseDevice,
};

}  // namespace lumivane
