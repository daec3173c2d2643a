// The switch sound player against a scripted platform: every platform call
// is logged, any one of them can be made to fail, files are RIFF images in
// memory, memory blocks carry guard bytes, and sound buffers remember what
// was written into them and how they were played.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lumivane/sound_player.h"

using namespace lumivane;

namespace {

// ---- RIFF WAVE images ---------------------------------------------------------

void put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
    put16(b, uint16_t(v));
    put16(b, uint16_t(v >> 16));
}
void putChunk(std::vector<uint8_t>& b, const char* id, const std::vector<uint8_t>& data) {
    b.insert(b.end(), id, id + 4);
    put32(b, uint32_t(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    if (data.size() % 2) b.push_back(0);
}

struct Wav {
    uint16_t bits = 16;
    uint16_t channels = 1;
    uint32_t rate = 22050;
    int fmtBytes = 18;              // 16: the short PCM form; 14: without bits per sample
    uint16_t extra = 0;             // extra size, in an 18-byte fmt chunk
    std::vector<uint8_t> samples = {1, 2, 3, 4, 5, 6};
    bool withFmt = true, withData = true;
    const char* form = "WAVE";
    int32_t dataSizeOverride = -1;  // declare more data than the file holds

    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> fmt;
        put16(fmt, 1);
        put16(fmt, channels);
        put32(fmt, rate);
        put32(fmt, rate * channels * bits / 8);
        put16(fmt, uint16_t(channels * bits / 8));
        put16(fmt, bits);
        put16(fmt, extra);
        fmt.resize(size_t(fmtBytes));
        std::vector<uint8_t> body(form, form + 4);
        if (withFmt) putChunk(body, "fmt ", fmt);
        putChunk(body, "LIST", {'I', 'N', 'F', 'O'});  // a chunk to skip
        if (withData) {
            putChunk(body, "data", samples);
            if (dataSizeOverride >= 0) {
                const size_t at = body.size() - samples.size() - (samples.size() % 2) - 4;
                std::memcpy(&body[at], &dataSizeOverride, 4);
            }
        }
        std::vector<uint8_t> file;
        putChunk(file, "RIFF", body);
        return file;
    }
};

// ---- the fake platform ----------------------------------------------------------

struct FakeBuffer {
    BufferDesc desc{};
    WaveFormat format{};
    std::vector<uint8_t> data;
    uint32_t position = 0xFFFFFFFF;
    int plays = 0;
    uint32_t playFlags = 0xFFFFFFFF;
    bool playing = false;
    bool released = false;
    bool locked = false;
    LockedRegions lockedAs{};  // what the latest lock handed out
};

struct FakeFile {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
    bool closed = false;
};

constexpr size_t kGuard = 16;
constexpr uint8_t kGuardByte = 0xCD;

struct Fake {
    std::vector<std::string> calls;
    std::map<std::string, int> seen;
    std::string failCall;          // this call fails ...
    int failAt = 1;                // ... on its n-th time
    // Host and registry.
    bool window = true;
    bool playerName = true;
    bool pathPresent = true;
    std::vector<uint8_t> path = {'C', ':', '\\', 'F', 'S'};
    bool keyOpen = false;
    // Files by full path.
    std::map<std::string, std::vector<uint8_t>> files;
    std::vector<std::unique_ptr<FakeFile>> opened;
    std::string lastPath;
    int32_t dataReadLimit = -1;    // reads after the first (the fmt read) return at most this
    // Memory: live blocks and their sizes; guard bytes follow each block.
    std::map<uint8_t*, size_t> live;
    int guardFaults = 0;
    // DirectSound.
    int devices = 0, devicesReleased = 0;
    std::vector<std::unique_ptr<FakeBuffer>> buffers;
    uint32_t lockFirstLimit = 0xFFFFFFFF;  // split the lock into two regions

    bool failing(const char* name) {
        calls.push_back(name);
        const int n = ++seen[name];
        return failCall == name && n == failAt;
    }
    size_t count(const std::string& name) const {
        size_t n = 0;
        for (const auto& c : calls) n += c == name;
        return n;
    }
    size_t liveBuffers() const {
        size_t n = 0;
        for (const auto& b : buffers) n += !b->released;
        return n;
    }
    ~Fake() {
        for (auto& [p, n] : live) delete[] p;
    }
};

Fake* g = nullptr;
Handle kWindow = reinterpret_cast<Handle>(0x1234);
Handle kKey = reinterpret_cast<Handle>(0x4321);
Handle kDevice = reinterpret_cast<Handle>(0xD5);

void checkGuard(uint8_t* p, size_t n) {
    for (size_t i = 0; i < kGuard; ++i)
        if (p[n + i] != kGuardByte) {
            ++g->guardFaults;
            return;
        }
}

const SoundPlatform kFakePlatform = {
    [](const char* cls) -> Handle {
        if (g->failing("findWindow") || !g->window) return nullptr;
        return std::string(cls) == "FS98MAIN" ? kWindow : nullptr;
    },
    [](Handle* device) -> int32_t {
        if (g->failing("createDevice")) return int32_t(0x88780078);  // no driver
        ++g->devices;
        *device = kDevice;
        return 0;
    },
    [](Handle device, Handle window, uint32_t level) -> int32_t {
        if (g->failing("setCooperativeLevel")) return -1;
        return device == kDevice && window == kWindow && level == 1 ? 0 : -2;
    },
    [](uint32_t root, const char* subkey, uint32_t access, Handle* key) -> int32_t {
        if (g->failing("openKey")) return 2;
        if (root != 0x80000002u || access != 0x20019 ||
            std::string(subkey) != "SOFTWARE\\Microsoft\\Microsoft Games\\Flight Simulator\\7.0")
            return 5;
        g->keyOpen = true;
        *key = kKey;
        return 0;
    },
    [](Handle key, const char* name, void* data, uint32_t* bytes) -> int32_t {
        const std::string n = name;
        if (g->failing(("queryValue " + n).c_str()) || key != kKey) return 2;
        if (n == "PlayerName") {
            if (!g->playerName || data != nullptr) return 2;
            *bytes = 0;
            return 0;
        }
        if (n != "path" || !g->pathPresent) return 2;
        if (data == nullptr || *bytes != 260) {
            ADD_FAILURE() << "path queried into " << *bytes << " bytes, not the 260-byte folder buffer";
            return 87;  // ERROR_INVALID_PARAMETER
        }
        if (g->path.size() > *bytes) return 234;  // ERROR_MORE_DATA
        std::memcpy(data, g->path.data(), g->path.size());
        *bytes = uint32_t(g->path.size());
        return 0;
    },
    [](Handle key) -> int32_t {
        g->failing("closeKey");
        EXPECT_EQ(key, kKey);
        g->keyOpen = false;
        return 0;
    },
    [](uint32_t bytes, bool zeroed) -> void* {
        if (g->failing("allocate")) return nullptr;
        auto* p = new uint8_t[bytes + kGuard];
        std::memset(p, zeroed ? 0 : 0xAA, bytes);
        std::memset(p + bytes, kGuardByte, kGuard);
        g->live[p] = bytes;
        return p;
    },
    [](void* block) {
        g->failing("release");
        auto* p = static_cast<uint8_t*>(block);
        auto it = g->live.find(p);
        if (it == g->live.end()) {
            ADD_FAILURE() << "release of a block not held";
            return;
        }
        checkGuard(p, it->second);
        delete[] p;
        g->live.erase(it);
    },
    [](char* path, uint32_t flags) -> Handle {
        g->lastPath = path;
        if (g->failing("openFile") || flags != 0x10000) return nullptr;
        auto it = g->files.find(path);
        if (it == g->files.end()) return nullptr;
        g->opened.push_back(std::make_unique<FakeFile>());
        g->opened.back()->bytes = it->second;
        return g->opened.back().get();
    },
    // Chunks are found from the current position onwards, within the parent.
    [](Handle file, ChunkInfo* ck, const ChunkInfo* parent, uint32_t flags) -> int32_t {
        if (g->failing("descend")) return 265;  // MMIOERR_CHUNKNOTFOUND
        FakeFile& f = *static_cast<FakeFile*>(file);
        const size_t end = parent ? parent->dataOffset + parent->size : f.bytes.size();
        while (f.pos + 8 <= end) {
            uint32_t id, size;
            std::memcpy(&id, &f.bytes[f.pos], 4);
            std::memcpy(&size, &f.bytes[f.pos + 4], 4);
            const size_t data = f.pos + 8;
            if (flags == 0x20 && id == fourCc('R', 'I', 'F', 'F') && data + 4 <= end) {
                uint32_t form;
                std::memcpy(&form, &f.bytes[data], 4);
                if (form == ck->formType) {
                    ck->id = id;
                    ck->size = size;
                    ck->dataOffset = uint32_t(data);
                    f.pos = data + 4;
                    return 0;
                }
            }
            if (flags == 0x10 && id == ck->id) {
                ck->size = size;
                ck->dataOffset = uint32_t(data);
                f.pos = data;
                return 0;
            }
            f.pos = data + size + (size % 2);
        }
        return 265;
    },
    [](Handle file, void* data, int32_t bytes) -> int32_t {
        if (g->failing("read")) return -1;
        FakeFile& f = *static_cast<FakeFile*>(file);
        int32_t n = f.pos < f.bytes.size() ? std::min<int32_t>(bytes, int32_t(f.bytes.size() - f.pos)) : 0;
        if (g->dataReadLimit >= 0 && g->seen["read"] >= 2) n = std::min(n, g->dataReadLimit);
        std::memcpy(data, &f.bytes[f.pos], size_t(n));
        f.pos += size_t(n);
        return n;
    },
    [](Handle file, ChunkInfo* ck, uint32_t flags) -> int32_t {
        if (g->failing("ascend") || flags != 0) return 1;
        FakeFile& f = *static_cast<FakeFile*>(file);
        f.pos = ck->dataOffset + ck->size + (ck->size % 2);
        return 0;
    },
    [](Handle file, uint32_t flags) -> int32_t {
        g->failing("closeFile");
        EXPECT_EQ(flags, 0u);
        static_cast<FakeFile*>(file)->closed = true;
        return 0;
    },
    [](Handle device, const BufferDesc* desc, Handle* buffer) -> int32_t {
        if (g->failing("createBuffer") || device != kDevice) return int32_t(0x80070057);
        auto b = std::make_unique<FakeBuffer>();
        b->desc = *desc;
        b->format = *desc->format;
        b->data.assign(desc->bufferBytes, 0xEE);
        *buffer = b.get();
        g->buffers.push_back(std::move(b));
        return 0;
    },
    [](Handle buffer, uint32_t offset, uint32_t bytes, LockedRegions* r, uint32_t flags) -> int32_t {
        if (g->failing("lock") || offset != 0 || flags != 0) return -1;
        FakeBuffer& b = *static_cast<FakeBuffer*>(buffer);
        if (bytes > b.data.size()) return -1;
        const uint32_t first = std::min(bytes, g->lockFirstLimit);
        *r = {b.data.data(), first, first < bytes ? b.data.data() + first : nullptr, bytes - first};
        b.lockedAs = *r;
        b.locked = true;
        return 0;
    },
    // Takes back exactly the regions the lock handed out, and only once.
    [](Handle buffer, const LockedRegions* r) -> int32_t {
        if (g->failing("unlock")) return -1;
        FakeBuffer& b = *static_cast<FakeBuffer*>(buffer);
        const LockedRegions& l = b.lockedAs;
        if (!b.locked || r->first != l.first || r->firstBytes != l.firstBytes || r->second != l.second ||
            r->secondBytes != l.secondBytes) {
            ADD_FAILURE() << "unlock of regions the lock did not hand out";
            return int32_t(0x80070057);  // DSERR_INVALIDPARAM
        }
        b.locked = false;
        return 0;
    },
    [](Handle buffer, uint32_t position) -> int32_t {
        if (g->failing("setPosition")) return -1;
        static_cast<FakeBuffer*>(buffer)->position = position;
        return 0;
    },
    [](Handle buffer, uint32_t reserved, uint32_t priority, uint32_t flags) -> int32_t {
        if (g->failing("play") || reserved || priority) return -1;
        FakeBuffer& b = *static_cast<FakeBuffer*>(buffer);
        ++b.plays;
        b.playFlags = flags;
        b.playing = true;
        return 0;
    },
    [](Handle buffer, uint32_t* status) -> int32_t {
        g->failing("status");
        const FakeBuffer& b = *static_cast<FakeBuffer*>(buffer);
        EXPECT_FALSE(b.released) << "status of a released buffer";
        *status = b.playing ? 1 : 0;
        return 0;
    },
    [](Handle buffer) {
        g->failing("releaseBuffer");
        FakeBuffer& b = *static_cast<FakeBuffer*>(buffer);
        EXPECT_FALSE(b.released) << "buffer released twice";
        b.released = true;
    },
    [](Handle device) {
        g->failing("releaseDevice");
        EXPECT_EQ(device, kDevice);
        ++g->devicesReleased;
    },
};

const char kSound[] = "kolt_toggle_light.wav";
const char kSoundPath[] = "C:\\FS\\Sound\\kolt_toggle_light.wav";

class Player : public ::testing::Test {
protected:
    void SetUp() override {
        g = &fake;
        fake.files[kSoundPath] = Wav{}.bytes();
    }
    void TearDown() override {
        player.Close();
        EXPECT_TRUE(fake.live.empty()) << fake.live.size() << " blocks still held after Close";
        EXPECT_EQ(fake.liveBuffers(), 0u) << "buffers still held after Close";
        EXPECT_EQ(fake.devices, fake.devicesReleased) << "devices still held after Close";
        EXPECT_FALSE(fake.keyOpen) << "registry key left open";
        for (const auto& f : fake.opened) EXPECT_TRUE(f->closed) << "file left open";
        EXPECT_EQ(fake.guardFaults, 0) << "written past a block";
        g = nullptr;
    }
    void open() {
        ASSERT_EQ(player.Open(), 1);
        fake.calls.clear();
        fake.seen.clear();
    }
    size_t liveBlocks() const { return fake.live.size(); }

    Fake fake;
    SwitchSoundPlayer player{&kFakePlatform};
};

using Calls = std::vector<std::string>;

// ---- Open -------------------------------------------------------------------------

const Calls kOpenCalls = {"findWindow", "createDevice", "setCooperativeLevel", "openKey",
                          "queryValue PlayerName", "allocate", "queryValue path", "closeKey"};

TEST_F(Player, OpenFindsTheSimulatorAndItsSoundFolder) {
    EXPECT_EQ(player.Open(), 1);
    EXPECT_EQ(fake.calls, kOpenCalls);
    EXPECT_TRUE(player.enabled());
    EXPECT_EQ(player.device(), kDevice);
    EXPECT_STREQ(player.soundFolder(), "C:\\FS\\Sound\\");
    EXPECT_EQ(player.currentBuffer(), nullptr);
    EXPECT_EQ(liveBlocks(), 1u) << "the folder text";
}

struct OpenFailure {
    const char* name;
    const char* failing;
    size_t callsMade;       // calls of kOpenCalls made, the failing one included
    bool deviceHeld;
    bool closeKeyFollows;
    bool folderFreed;       // allocated and released before returning
};

const OpenFailure kOpenFailures[] = {
    {"no simulator window", "findWindow", 1, false, false, false},
    {"no sound device", "createDevice", 2, false, false, false},
    {"cooperative level refused", "setCooperativeLevel", 3, true, false, false},
    {"no simulator key", "openKey", 4, true, false, false},
    {"no PlayerName value", "queryValue PlayerName", 5, true, true, false},
    {"no memory for the folder", "allocate", 6, true, true, false},
    {"no path value", "queryValue path", 7, true, true, true},
};

TEST_F(Player, OpenFailingAtEachStepDisablesAndKeepsWhatWasHeld) {
    for (const OpenFailure& c : kOpenFailures) {
        SCOPED_TRACE(c.name);
        Fake f;
        f.files[kSoundPath] = Wav{}.bytes();
        f.failCall = c.failing;
        g = &f;
        SwitchSoundPlayer p{&kFakePlatform};
        EXPECT_EQ(p.Open(), 0);
        EXPECT_FALSE(p.enabled());
        Calls expected(kOpenCalls.begin(), kOpenCalls.begin() + c.callsMade);
        if (c.closeKeyFollows) expected.push_back("closeKey");
        if (c.folderFreed) expected.push_back("release");
        EXPECT_EQ(f.calls, expected);
        EXPECT_EQ(p.device() != nullptr, c.deviceHeld);
        EXPECT_EQ(p.soundFolder(), nullptr);
        EXPECT_TRUE(f.live.empty());
        EXPECT_FALSE(f.keyOpen);

        // Disabled: a play touches nothing.
        f.calls.clear();
        EXPECT_EQ(p.Play(kSound), 0);
        EXPECT_TRUE(f.calls.empty());

        // Close releases exactly what was held, and the second time nothing.
        f.calls.clear();
        p.Close();
        EXPECT_EQ(f.calls, c.deviceHeld ? Calls{"releaseDevice"} : Calls{});
        f.calls.clear();
        p.Close();
        EXPECT_TRUE(f.calls.empty());
        EXPECT_EQ(f.devices, f.devicesReleased);
    }
    g = &fake;
}

TEST_F(Player, PlayerNameOfAnyContentSatisfiesOpenAndItsAbsenceFailsIt) {
    fake.playerName = false;
    EXPECT_EQ(player.Open(), 0);
    EXPECT_FALSE(player.enabled());
}

TEST_F(Player, OpenAfterAFailedOpenReturnsItsResultButStaysDisabled) {
    fake.window = false;
    EXPECT_EQ(player.Open(), 0);
    fake.window = true;
    EXPECT_EQ(player.Open(), 1);
    EXPECT_FALSE(player.enabled());
    fake.calls.clear();
    EXPECT_EQ(player.Play(kSound), 0);
    EXPECT_TRUE(fake.calls.empty());
}

TEST_F(Player, SecondOpenReleasesWhatTheFirstHeld) {
    open();
    ASSERT_EQ(player.Play(kSound), 1);
    ASSERT_EQ(player.Play(kSound), 1);  // the first still sounds: kept as an earlier buffer
    ASSERT_EQ(player.earlierBuffers(), 1u);
    ASSERT_EQ(liveBlocks(), 2u) << "folder text and the list of earlier buffers";
    fake.calls.clear();

    EXPECT_EQ(player.Open(), 1);
    // Everything of the first open goes before the second creates anew.
    const Calls expected = {"findWindow", "release", "releaseBuffer", "release", "releaseBuffer",
                            "releaseDevice", "createDevice", "setCooperativeLevel", "openKey",
                            "queryValue PlayerName", "allocate", "queryValue path", "closeKey"};
    EXPECT_EQ(fake.calls, expected);
    EXPECT_EQ(fake.devices, 2);
    EXPECT_EQ(fake.devicesReleased, 1);
    EXPECT_EQ(fake.liveBuffers(), 0u) << "both buffers of the first open";
    EXPECT_EQ(player.earlierBuffers(), 0u);
    EXPECT_EQ(player.currentBuffer(), nullptr);
    EXPECT_EQ(liveBlocks(), 1u) << "one folder text, not two";
    EXPECT_STREQ(player.soundFolder(), "C:\\FS\\Sound\\");
    EXPECT_TRUE(player.enabled());
    EXPECT_EQ(player.Play(kSound), 1) << "the second open plays";
}

// Folder texts at and around the 260-byte limit: with "\Sound\" (7 bytes)
// and the NUL the folder may be 252 bytes long.
struct FolderCase {
    const char* name;
    size_t length;
    bool nul;          // the value carries its terminating NUL
    int32_t result;
    bool folderHeld;   // a value that is no text is not kept, like an absent one
};

const FolderCase kFolderCases[] = {
    {"252 bytes: the sound folder fills the buffer", 252, true, 1, true},
    {"253 bytes: no room for \\Sound\\", 253, true, 0, true},
    {"259 bytes", 259, true, 0, true},
    {"260 bytes without a NUL", 260, false, 0, false},
    {"261 bytes: more than the buffer", 261, false, 0, false},
};

TEST_F(Player, FolderTextNeverRunsPastItsBuffer) {
    for (const FolderCase& c : kFolderCases) {
        SCOPED_TRACE(c.name);
        Fake f;
        f.path.assign(c.length, 'd');
        if (c.nul) f.path.push_back(0);
        g = &f;
        SwitchSoundPlayer p{&kFakePlatform};
        EXPECT_EQ(p.Open(), c.result);
        EXPECT_EQ(p.enabled(), c.result == 1);
        EXPECT_EQ(p.soundFolder() != nullptr, c.folderHeld);
        if (c.result == 1) {
            EXPECT_EQ(std::string(p.soundFolder()), std::string(c.length, 'd') + "\\Sound\\");
        }
        p.Close();
        EXPECT_EQ(f.guardFaults, 0);
        EXPECT_TRUE(f.live.empty());
        EXPECT_FALSE(f.keyOpen);
    }
    g = &fake;
}

// The "path" value is text up to its first NUL. Bytes after that NUL (the
// value may fill all 260 bytes) are no part of the folder and must not be
// taken as its continuation: the folder text with "\Sound\" stays terminated
// inside its buffer, and the path built from it is read within it.
struct EmbeddedNulCase {
    const char* name;
    size_t textBytes;   // before the NUL; non-zero bytes follow it up to 260
    int32_t result;
};

const EmbeddedNulCase kEmbeddedNulCases[] = {
    {"a short folder", 5, 1},
    {"252 bytes: \\Sound\\ and its NUL fill the buffer", 252, 1},
    {"253 bytes: no room for \\Sound\\", 253, 0},
};

TEST_F(Player, FolderValueWithBytesAfterItsNulEndsAtTheNul) {
    for (const EmbeddedNulCase& c : kEmbeddedNulCases) {
        SCOPED_TRACE(c.name);
        Fake f;
        f.path.assign(c.textBytes, 'd');
        f.path.push_back(0);
        f.path.resize(260, 'x');
        const std::string folder = std::string(c.textBytes, 'd') + "\\Sound\\";
        f.files[folder + kSound] = Wav{}.bytes();
        g = &f;
        SwitchSoundPlayer p{&kFakePlatform};
        EXPECT_EQ(p.Open(), c.result);
        if (c.result == 1) {
            ASSERT_NE(p.soundFolder(), nullptr);
            // Compared within the buffer: a missing NUL must not send the
            // test itself past the block.
            EXPECT_EQ(boundedLength(p.soundFolder(), 260), folder.size());
            EXPECT_EQ(std::memcmp(p.soundFolder(), folder.c_str(), folder.size() + 1), 0);
            const bool fits = folder.size() + sizeof kSound - 1 < 260;
            EXPECT_EQ(p.Play(kSound), fits ? 1 : 0);
            if (fits) {
                EXPECT_EQ(f.lastPath, folder + kSound);
            } else {
                EXPECT_EQ(f.count("openFile"), 0u);
            }
        } else {
            EXPECT_FALSE(p.enabled());
        }
        p.Close();
        EXPECT_EQ(f.guardFaults, 0);
        EXPECT_TRUE(f.live.empty());
        EXPECT_FALSE(f.keyOpen);
    }
    g = &fake;
}

TEST_F(Player, FileNameLongerThanAnyPathFailsWithoutReadingItToItsEnd) {
    open();
    // 300 name bytes in a block with guard bytes and no NUL: measuring
    // stops at the room a path has.
    std::vector<char> name(300, 'n');
    EXPECT_EQ(player.Play(name.data()), 0);
    EXPECT_FALSE(player.enabled());
    EXPECT_EQ(fake.count("openFile"), 0u);
}

// ---- Play -------------------------------------------------------------------------

const Calls kPlayCalls = {"allocate", "openFile", "release", "descend", "descend", "read",
                          "ascend", "descend", "allocate", "read", "closeFile",
                          "createBuffer", "lock", "release", "unlock", "setPosition", "play"};

TEST_F(Player, PlayCopiesTheDataChunkIntoABufferOfItsSizeAndPlaysItOnceFromTheStart) {
    Wav w;
    w.samples.resize(1001);
    for (size_t i = 0; i < w.samples.size(); ++i) w.samples[i] = uint8_t(i * 7);
    fake.files[kSoundPath] = w.bytes();
    open();
    EXPECT_EQ(player.Play(kSound), 1);
    EXPECT_EQ(fake.calls, kPlayCalls);
    EXPECT_EQ(fake.lastPath, kSoundPath);
    ASSERT_EQ(fake.buffers.size(), 1u);
    const FakeBuffer& b = *fake.buffers[0];
    EXPECT_EQ(b.desc.size, 36u);
    EXPECT_EQ(b.desc.flags, 0xE0u);
    EXPECT_EQ(b.desc.bufferBytes, 1001u);
    EXPECT_EQ(b.desc.reserved, 0u);
    EXPECT_EQ(b.data, w.samples);
    EXPECT_EQ(b.format.formatTag, 1);
    EXPECT_EQ(b.format.channels, 1);
    EXPECT_EQ(b.format.samplesPerSecond, 22050u);
    EXPECT_EQ(b.format.averageBytesPerSecond, 44100u);
    EXPECT_EQ(b.format.blockAlign, 2);
    EXPECT_EQ(b.format.bitsPerSample, 16);
    EXPECT_EQ(b.format.extraSize, 0);
    EXPECT_EQ(b.position, 0u);
    EXPECT_EQ(b.plays, 1);
    EXPECT_EQ(b.playFlags, 0u) << "once, not looping";
    EXPECT_FALSE(b.locked);
    EXPECT_EQ(player.currentBuffer(), fake.buffers[0].get());
    EXPECT_EQ(player.sampleBytes(), 1001u);
    EXPECT_EQ(player.sampleData(), nullptr) << "the sample copy is released once in the buffer";
    EXPECT_EQ(liveBlocks(), 1u) << "only the folder text";
    EXPECT_TRUE(fake.opened.back()->closed);
}

// The format is the fmt chunk's own bytes; what a short chunk lacks is zero,
// never the bytes of the chunk that follows it (here "LIST" and its size),
// which DirectSound would take for an extra size.
struct FmtCase {
    const char* name;
    int fmtBytes;
    uint16_t extra;
    uint16_t bitsExpected, extraExpected;
};

const FmtCase kFmtCases[] = {
    {"18 bytes: its own extra size kept", 18, 0x1234, 8, 0x1234},
    {"16 bytes: no extra size", 16, 0, 8, 0},
    {"14 bytes: neither bits per sample nor extra size", 14, 0, 0, 0},
};

TEST_F(Player, FmtChunkBytesPastItsEndAreZeroInTheFormat) {
    for (const FmtCase& c : kFmtCases) {
        SCOPED_TRACE(c.name);
        Fake f;
        Wav w;
        w.fmtBytes = c.fmtBytes;
        w.extra = c.extra;
        w.bits = 8;
        f.files[kSoundPath] = w.bytes();
        g = &f;
        SwitchSoundPlayer p{&kFakePlatform};
        ASSERT_EQ(p.Open(), 1);
        EXPECT_EQ(p.Play(kSound), 1);
        ASSERT_EQ(f.buffers.size(), 1u);
        const WaveFormat& got = f.buffers[0]->format;
        EXPECT_EQ(got.formatTag, 1);
        EXPECT_EQ(got.channels, 1);
        EXPECT_EQ(got.samplesPerSecond, 22050u);
        EXPECT_EQ(got.averageBytesPerSecond, 22050u);
        EXPECT_EQ(got.blockAlign, 1);
        EXPECT_EQ(got.bitsPerSample, c.bitsExpected);
        EXPECT_EQ(got.extraSize, c.extraExpected);
        EXPECT_EQ(std::memcmp(&got, &p.waveFormat(), sizeof got), 0) << "the player's own record";
        EXPECT_EQ(f.buffers[0]->data, w.samples) << "the data chunk is still found";
        p.Close();
    }
    g = &fake;
}

struct ShortRead {
    const char* name;
    uint16_t bits;
    int32_t readable;
    uint8_t silence;
};

const ShortRead kShortReads[] = {
    {"16-bit, half read", 16, 3, 0x00},
    {"8-bit, half read", 8, 3, 0x80},
    {"8-bit, nothing read", 8, 0, 0x80},
};

TEST_F(Player, ShortReadOfTheDataLeavesSilenceInTheRest) {
    for (const ShortRead& c : kShortReads) {
        SCOPED_TRACE(c.name);
        Fake f;
        Wav w;
        w.bits = c.bits;
        f.files[kSoundPath] = w.bytes();
        f.dataReadLimit = c.readable;
        g = &f;
        SwitchSoundPlayer p{&kFakePlatform};
        ASSERT_EQ(p.Open(), 1);
        EXPECT_EQ(p.Play(kSound), 1);
        ASSERT_EQ(f.buffers.size(), 1u);
        std::vector<uint8_t> expected = w.samples;
        for (size_t i = size_t(c.readable); i < expected.size(); ++i) expected[i] = c.silence;
        EXPECT_EQ(f.buffers[0]->data, expected);
        p.Close();
    }
    g = &fake;
}

TEST_F(Player, DataChunkLongerThanTheFileIsPaddedWithSilence) {
    Wav w;
    w.bits = 8;
    w.dataSizeOverride = 10;  // six bytes present
    fake.files[kSoundPath] = w.bytes();
    open();
    EXPECT_EQ(player.Play(kSound), 1);
    ASSERT_EQ(fake.buffers.size(), 1u);
    EXPECT_EQ(fake.buffers[0]->data,
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 0x80, 0x80, 0x80, 0x80}));
}

TEST_F(Player, LockInTwoRegionsFillsBothAndNeitherPastItsEnd) {
    fake.lockFirstLimit = 4;
    open();
    EXPECT_EQ(player.Play(kSound), 1);
    ASSERT_EQ(fake.buffers.size(), 1u);
    EXPECT_EQ(fake.buffers[0]->data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

struct PlayFailure {
    const char* name;
    const char* failing;
    int occurrence;
    size_t callsMade;    // calls of kPlayCalls made, the failing one included
    bool fileToClose;    // the file was open and is closed on the way out
    bool bufferHeld;     // this play's buffer is the current buffer
    bool samplesHeld;
};

const PlayFailure kPlayFailures[] = {
    {"no memory for the path", "allocate", 1, 1, false, false, false},
    {"file missing", "openFile", 1, 3, false, false, false},
    {"no WAVE form", "descend", 1, 4, true, false, false},
    {"no fmt chunk", "descend", 2, 5, true, false, false},
    {"fmt unreadable", "read", 1, 6, true, false, false},
    {"cannot leave fmt", "ascend", 1, 7, true, false, false},
    {"no data chunk", "descend", 3, 8, true, false, false},
    {"no memory for the samples", "allocate", 2, 9, true, false, false},
    {"data unreadable", "read", 2, 10, true, false, true},
    {"buffer refused", "createBuffer", 1, 12, false, false, true},
    {"lock refused", "lock", 1, 13, false, true, true},
    {"unlock refused", "unlock", 1, 15, false, true, false},
    {"position refused", "setPosition", 1, 16, false, true, false},
    {"play refused", "play", 1, 17, false, true, false},
};

TEST_F(Player, PlayFailingAtEachStepDisablesAndKeepsWhatWasHeld) {
    for (const PlayFailure& c : kPlayFailures) {
        SCOPED_TRACE(c.name);
        Fake f;
        f.files[kSoundPath] = Wav{}.bytes();
        g = &f;
        SwitchSoundPlayer p{&kFakePlatform};
        ASSERT_EQ(p.Open(), 1);
        f.calls.clear();
        f.seen.clear();
        f.failCall = c.failing;
        f.failAt = c.occurrence;
        EXPECT_EQ(p.Play(kSound), 0);
        EXPECT_FALSE(p.enabled());
        Calls expected(kPlayCalls.begin(), kPlayCalls.begin() + c.callsMade);
        if (c.fileToClose) expected.push_back("closeFile");
        EXPECT_EQ(f.calls, expected);
        for (const auto& file : f.opened) EXPECT_TRUE(file->closed);
        EXPECT_EQ(p.device(), kDevice);
        EXPECT_NE(p.soundFolder(), nullptr);
        EXPECT_EQ(p.currentBuffer() != nullptr, c.bufferHeld);
        EXPECT_EQ(p.sampleData() != nullptr, c.samplesHeld);
        EXPECT_EQ(f.live.size(), 1u + c.samplesHeld) << "folder text and any sample copy";

        // From now on silent: an existing file is not even opened.
        f.calls.clear();
        f.failCall.clear();
        EXPECT_EQ(p.Play(kSound), 0);
        EXPECT_TRUE(f.calls.empty());

        p.Close();
        EXPECT_TRUE(f.live.empty());
        EXPECT_EQ(f.liveBuffers(), 0u);
        EXPECT_EQ(f.devicesReleased, 1);
        f.calls.clear();
        p.Close();
        EXPECT_TRUE(f.calls.empty()) << "second Close";
    }
    g = &fake;
}

TEST_F(Player, MissingFileDisablesEveryLaterPlay) {
    open();
    fake.files.clear();
    EXPECT_EQ(player.Play(kSound), 0);
    fake.files[kSoundPath] = Wav{}.bytes();
    fake.calls.clear();
    EXPECT_EQ(player.Play(kSound), 0);
    EXPECT_TRUE(fake.calls.empty());
}

TEST_F(Player, PathTooLongForTheFileNameFailsWithoutOpeningAnything) {
    fake.path.assign(240, 'd');  // 247 bytes with \Sound\, room for 12 more
    open();
    EXPECT_EQ(player.Play("thirteen_char"), 0) << "13 bytes and the NUL do not fit";
    EXPECT_FALSE(player.enabled());
    EXPECT_EQ(fake.count("openFile"), 0u);

    Fake f;
    f.path.assign(240, 'd');
    const std::string fits = std::string(240, 'd') + "\\Sound\\twelve_chars";
    f.files[fits] = Wav{}.bytes();
    g = &f;
    SwitchSoundPlayer p{&kFakePlatform};
    ASSERT_EQ(p.Open(), 1);
    EXPECT_EQ(p.Play("twelve_chars"), 1) << "259 bytes and the NUL fit";
    EXPECT_EQ(f.lastPath, fits);
    p.Close();
    EXPECT_EQ(f.guardFaults, 0);
    g = &fake;
}

TEST_F(Player, PlayWithoutDeviceOrFolderTouchesNothing) {
    open();
    player.Close();  // another instance's kill
    fake.calls.clear();
    EXPECT_EQ(player.Play(kSound), 0);
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_TRUE(player.enabled()) << "a later install may open it again";
    EXPECT_EQ(player.Open(), 1);
    EXPECT_EQ(player.Play(kSound), 1);
}

TEST_F(Player, NeverOpenedPlayerTouchesNothing) {
    EXPECT_EQ(player.Play(kSound), 0);
    EXPECT_TRUE(fake.calls.empty());
    player.Close();
    EXPECT_TRUE(fake.calls.empty());
}

// ---- earlier buffers -----------------------------------------------------------------

TEST_F(Player, EarlierBuffersPlayToTheirEndAndAreReleasedAfterwards) {
    open();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(player.Play(kSound), 1);
    ASSERT_EQ(fake.buffers.size(), 3u);
    for (const auto& b : fake.buffers) EXPECT_FALSE(b->released) << "still sounding: not cut short";
    EXPECT_EQ(player.earlierBuffers(), 2u);

    fake.buffers[0]->playing = false;  // the first click's sound has ended
    ASSERT_EQ(player.Play(kSound), 1);
    EXPECT_TRUE(fake.buffers[0]->released);
    EXPECT_FALSE(fake.buffers[1]->released);
    EXPECT_FALSE(fake.buffers[2]->released);
    EXPECT_EQ(player.earlierBuffers(), 2u);

    player.Close();
    EXPECT_EQ(fake.liveBuffers(), 0u);
}

TEST_F(Player, ThousandsOfClicksHoldOnlyTheSoundsStillPlaying) {
    open();
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(player.Play(kSound), 1);
        // Clicks come slower than the sound lasts, except for bursts of
        // twenty overlapping ones.
        if (i % 20 != 0) fake.buffers.back()->playing = false;
    }
    // Every 20th buffer plays on until we stop it; the others have ended
    // and were released, but for the latest.
    EXPECT_EQ(fake.liveBuffers(), 250u + 1u);
    for (auto& b : fake.buffers) b->playing = false;
    ASSERT_EQ(player.Play(kSound), 1);
    EXPECT_EQ(fake.liveBuffers(), 1u);
    EXPECT_EQ(player.earlierBuffers(), 0u);
    EXPECT_LE(liveBlocks(), 2u) << "folder text and the list of earlier buffers";
}

TEST_F(Player, NoMemoryToKeepAnEarlierBufferFailsWithoutCuttingItShort) {
    open();
    ASSERT_EQ(player.Play(kSound), 1);  // still playing
    fake.failCall = "allocate";
    fake.failAt = 5;  // path, samples, path, samples, then the list
    ASSERT_EQ(player.Play(kSound), 0);
    EXPECT_FALSE(player.enabled());
    EXPECT_FALSE(fake.buffers[0]->released);
    EXPECT_EQ(player.currentBuffer(), fake.buffers[0].get());
}

}  // namespace
