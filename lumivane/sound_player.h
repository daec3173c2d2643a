// The switch click sound: a short RIFF WAVE file from the simulator's sound
// folder, read afresh and played once through DirectSound on every click.
//
// The player reaches the platform only through a SoundPlatform table: the
// module fills it with the real Win32, registry, multimedia-file and
// DirectSound calls (sound_platform_win32.cpp), the tests with a scripted
// fake. Platform objects (window, registry key, file, device, buffer) are
// opaque handles here, so this code builds for any target.
//
// The player fails quietly: the first failure clears `enabled`, and from
// then on every play request returns 0 at once. Nothing sets it again while
// the module stays loaded.
//
// Whoever replaces the sound file controls its bytes. A file plays only when
// it opens with a RIFF chunk of form WAVE whose chunks, walked one by one and
// only forward, lie within it and within the file, and whose format is one
// the player vouches for (playableFormat); anything else fails like a
// missing file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumivane {

using Handle = void*;

// Multimedia file chunk record, laid out as the platform's MMCKINFO.
struct ChunkInfo {
    uint32_t id;          // four-character code
    uint32_t size;        // bytes of chunk data
    uint32_t formType;    // form type of a RIFF or LIST chunk
    uint32_t dataOffset;  // file offset of the chunk data
    uint32_t flags;
};
static_assert(sizeof(ChunkInfo) == 20, "ChunkInfo is MMCKINFO");

#pragma pack(push, 2)
// The first 18 bytes of a "fmt " chunk (WAVEFORMATEX).
struct WaveFormat {
    uint16_t formatTag;
    uint16_t channels;
    uint32_t samplesPerSecond;
    uint32_t averageBytesPerSecond;
    uint16_t blockAlign;
    uint16_t bitsPerSample;
    uint16_t extraSize;
};
#pragma pack(pop)
static_assert(sizeof(WaveFormat) == 18, "WaveFormat is WAVEFORMATEX");

// Sound buffer description, laid out as DSBUFFERDESC (36 bytes on 32-bit
// Windows).
struct BufferDesc {
    uint32_t size;         // 36
    uint32_t flags;
    uint32_t bufferBytes;
    uint32_t reserved;
    WaveFormat* format;
    uint8_t algorithm3d[16];
};
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(BufferDesc) == 36, "BufferDesc is DSBUFFERDESC");
static_assert(offsetof(BufferDesc, format) == 16, "DSBUFFERDESC.lpwfxFormat");
static_assert(offsetof(BufferDesc, algorithm3d) == 20, "DSBUFFERDESC.guid3DAlgorithm");
#endif

// The two regions a buffer lock hands back.
struct LockedRegions {
    void* first;
    uint32_t firstBytes;
    void* second;
    uint32_t secondBytes;
};

constexpr uint32_t fourCc(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
           uint32_t(uint8_t(d)) << 24;
}

// Values the player hands to the platform calls.
enum : uint32_t {
    kPathCapacity = 260,                 // folder and path buffers, bytes with the NUL
    kRootLocalMachine = 0x80000002u,     // HKEY_LOCAL_MACHINE
    kKeyRead = 0x20019,                  // KEY_READ
    kCooperativeNormal = 1,              // DSSCL_NORMAL
    kFileAllocBufRead = 0x10000,         // MMIO_ALLOCBUF | MMIO_READ
    kFindRiff = 0x20,                    // MMIO_FINDRIFF
    kSeekSet = 0,                        // SEEK_SET
    kSeekEnd = 2,                        // SEEK_END
    kBufferFlags = 0xE0,                 // CTRLFREQUENCY | CTRLPAN | CTRLVOLUME
    kLargestBuffer = 0x0FFFFFFF,         // DSBSIZE_MAX: DirectSound takes no larger buffer
    kStatusPlaying = 1,                  // DSBSTATUS_PLAYING
    kChunkRiff = fourCc('R', 'I', 'F', 'F'),
    kFormWave = fourCc('W', 'A', 'V', 'E'),
    kChunkFmt = fourCc('f', 'm', 't', ' '),
    kChunkData = fourCc('d', 'a', 't', 'a'),
};

// What the player vouches for and how far it looks.
enum : uint32_t {
    kFormatPcm = 1,                      // WAVE_FORMAT_PCM
    kLowestRate = 100,                   // samples per second
    kHighestRate = 192000,
    kRiffHeaderBytes = 12,               // "RIFF", size, form type
    kMostChunks = 1024,                  // chunks looked at in one search
    kMostSilence = 0x100000,             // bytes a data chunk cut short may lack
};

extern const char kHostWindowClass[];  // "FS98MAIN"
extern const char kSimulatorKey[];     // the simulator's key under HKEY_LOCAL_MACHINE
extern const char kPlayerNameValue[];  // "PlayerName"
extern const char kPathValue[];        // "path"
extern const char kSoundSubfolder[];   // "\Sound\"

// Every platform call the player makes. Status results: 0 is success.
struct SoundPlatform {
    Handle (*findWindow)(const char* windowClass);                     // null: none
    int32_t (*createDevice)(Handle* device);                           // default device
    int32_t (*setCooperativeLevel)(Handle device, Handle window, uint32_t level);
    int32_t (*openKey)(uint32_t root, const char* subkey, uint32_t access, Handle* key);
    // `data` null asks for the size only.
    int32_t (*queryValue)(Handle key, const char* name, void* data, uint32_t* bytes);
    int32_t (*closeKey)(Handle key);
    void* (*allocate)(uint32_t bytes, bool zeroed);                    // null: no memory
    void (*release)(void* block);
    Handle (*openFile)(char* path, uint32_t flags);                    // null: failed
    int32_t (*descend)(Handle file, ChunkInfo* chunk, const ChunkInfo* parent, uint32_t flags);
    int32_t (*read)(Handle file, void* data, int32_t bytes);           // -1: failed
    int32_t (*seek)(Handle file, int32_t offset, int32_t origin);      // new position; -1: failed
    int32_t (*ascend)(Handle file, ChunkInfo* chunk, uint32_t flags);
    int32_t (*closeFile)(Handle file, uint32_t flags);
    int32_t (*createBuffer)(Handle device, const BufferDesc* desc, Handle* buffer);
    int32_t (*lock)(Handle buffer, uint32_t offset, uint32_t bytes, LockedRegions* regions,
                    uint32_t flags);
    int32_t (*unlock)(Handle buffer, const LockedRegions* regions);
    int32_t (*setPosition)(Handle buffer, uint32_t position);
    int32_t (*play)(Handle buffer, uint32_t reserved, uint32_t priority, uint32_t flags);
    int32_t (*status)(Handle buffer, uint32_t* status);
    void (*releaseBuffer)(Handle buffer);
    void (*releaseDevice)(Handle device);
};

// Whether a text of `bytes` bytes without its NUL fits a buffer of
// `capacity` bytes with it.
constexpr bool fitsText(size_t bytes, size_t capacity) { return bytes < capacity; }

// Length of the NUL-terminated text in a buffer of `capacity` bytes, or
// `capacity` when there is no NUL in it.
size_t boundedLength(const char* text, size_t capacity);

// Whether the first bytes of a file are the header of a RIFF chunk of form
// WAVE.
bool riffWaveHeader(const uint8_t (&head)[kRiffHeaderBytes]);

// Whether the player vouches for a format: PCM, one or two channels of 8 or
// 16 bits, kLowestRate to kHighestRate samples per second, a block of one
// sample per channel and the average bytes per second that rate and block
// give. The extra size is not looked at: PCM has none, and 0 is handed on.
bool playableFormat(const WaveFormat& f);

// The file offset right after a chunk and its pad byte (after an odd size),
// reckoned in 64 bits so that no size can wrap it round to an earlier one.
constexpr uint64_t chunkEnd(const ChunkInfo& c) {
    return uint64_t(c.dataOffset) + c.size + (c.size & 1u);
}

// Silence for the samples of a format: the midpoint 0x80 for 8-bit PCM,
// zero for every wider sample.
constexpr uint8_t silenceByte(const WaveFormat& f) { return f.bitsPerSample == 8 ? 0x80 : 0x00; }

class SwitchSoundPlayer {
public:
    constexpr explicit SwitchSoundPlayer(const SoundPlatform* platform) : platform_(platform) {}

    // Finds the simulator, creates the sound device and reads the sound
    // folder. 1 when the device and folder are ready, 0 on failure.
    int32_t Open();
    // Reads `fileName` (relative to the sound folder) into a new buffer and
    // starts it once. 1 when started; 0 when disabled, without a device or
    // folder, or on failure.
    int32_t Play(const char* fileName);
    // Releases everything held. Leaves `enabled` as it is.
    void Close();

    bool enabled() const { return enabled_ != 0; }
    const char* soundFolder() const { return soundFolder_; }
    Handle device() const { return device_; }
    Handle currentBuffer() const { return currentBuffer_; }
    const WaveFormat& waveFormat() const { return waveFormat_; }
    const void* sampleData() const { return sampleData_; }
    uint32_t sampleBytes() const { return sampleBytes_; }
    // Buffers of earlier plays still sounding, kept until they play out.
    uint32_t earlierBuffers() const { return earlierCount_; }

private:
    int32_t fail();
    int32_t failFile(Handle file);
    void releaseSamples();
    bool findChunk(Handle file, const ChunkInfo& riff, uint32_t id, uint64_t position, uint64_t limit,
                   ChunkInfo& chunk);
    bool retireCurrentBuffer();
    void releaseFinishedBuffers();

    const SoundPlatform* platform_;
    uint32_t enabled_ = 1;
    char* soundFolder_ = nullptr;
    Handle device_ = nullptr;
    Handle currentBuffer_ = nullptr;
    WaveFormat waveFormat_{};
    void* sampleData_ = nullptr;
    uint32_t sampleBytes_ = 0;
    Handle* earlier_ = nullptr;
    uint32_t earlierCount_ = 0;
    uint32_t earlierCapacity_ = 0;
};

}  // namespace lumivane
