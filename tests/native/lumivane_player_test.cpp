// The switch sound player against a scripted platform: every platform call
// is logged, any one of them can be made to fail, files are RIFF images in
// memory, memory blocks carry guard bytes, and sound buffers remember what
// was written into them and how they were played.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "lumivane/sound_player.h"
#include "hostcore/wave_file.h"

using namespace lumivane;

namespace {

// ---- RIFF WAVE images ---------------------------------------------------------

// A PCM file: fmt chunk, a LIST chunk to step over, data chunk.
struct Wav {
    uint16_t bits = 16;
    uint16_t channels = 1;
    uint32_t rate = 22050;
    int fmtBytes = 18;              // 16: the short PCM form; 14: without bits per sample
    uint16_t extra = 0;             // extra size, in an 18-byte fmt chunk
    std::vector<uint8_t> samples = {1, 2, 3, 4, 5, 6};

    std::vector<uint8_t> bytes() const {
        wave::Format f = wave::pcm(channels, bits, rate);
        f.extraSize = extra;
        return wave::riff("WAVE", wave::join({wave::chunk("fmt ", wave::fmt(f, size_t(fmtBytes))),
                                              wave::chunk("LIST", {'I', 'N', 'F', 'O'}),
                                              wave::chunk("data", samples)}));
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
    int32_t dataReadLimit = -1;    // reads after the header and fmt reads return at most this
    bool ascendStays = false;      // an ascend that leaves the position where it is
    // Searches of the platform that came round to a header they had read
    // before (a real one would go on for ever), and descends in all.
    int searchLoops = 0;
    int descends = 0;
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
    // Descends as the platform does, offsets in 32 bits: the position must
    // lie inside the parent, then flags 0 take the chunk there, and
    // MMIO_FINDRIFF steps over chunks by their size until a RIFF chunk of the
    // form asked for.
    [](Handle file, ChunkInfo* ck, const ChunkInfo* parent, uint32_t flags) -> int32_t {
        if (g->failing("descend")) return 265;  // MMIOERR_CHUNKNOTFOUND
        if (++g->descends > 100000) {
            ADD_FAILURE() << "a chunk walk without end";
            return 265;
        }
        if (flags != 0 && flags != 0x20) {
            ADD_FAILURE() << "descend with flags " << flags;
            return 265;
        }
        FakeFile& f = *static_cast<FakeFile*>(file);
        uint32_t pos = uint32_t(f.pos);
        if (parent && (pos < parent->dataOffset || pos >= parent->dataOffset + parent->size)) return 265;
        const uint32_t form = ck->formType;
        std::set<uint32_t> searched;
        for (;;) {
            if (!searched.insert(pos).second) {
                ++g->searchLoops;
                return 265;
            }
            uint8_t head[12] = {};
            const size_t n = pos < f.bytes.size() ? std::min<size_t>(12, f.bytes.size() - pos) : 0;
            if (n < 8) return 265;
            std::memcpy(head, &f.bytes[pos], n);
            std::memcpy(&ck->id, head, 4);
            std::memcpy(&ck->size, head + 4, 4);
            if (n == 12) std::memcpy(&ck->formType, head + 8, 4);
            ck->dataOffset = pos + 8;
            if (flags == 0 || (ck->id == fourCc('R', 'I', 'F', 'F') && ck->formType == form)) break;
            pos = ck->dataOffset + ((ck->size + 1) & ~1u);
        }
        ck->flags = 0;
        if (ck->id == fourCc('R', 'I', 'F', 'F') || ck->id == fourCc('L', 'I', 'S', 'T')) {
            f.pos = ck->dataOffset + 4;
        } else {
            f.pos = ck->dataOffset;
            ck->formType = 0;
        }
        return 0;
    },
    [](Handle file, void* data, int32_t bytes) -> int32_t {
        if (g->failing("read")) return -1;
        FakeFile& f = *static_cast<FakeFile*>(file);
        int32_t n = f.pos < f.bytes.size() ? std::min<int32_t>(bytes, int32_t(f.bytes.size() - f.pos)) : 0;
        if (g->dataReadLimit >= 0 && g->seen["read"] >= 3) n = std::min(n, g->dataReadLimit);
        if (n > 0) std::memcpy(data, &f.bytes[f.pos], size_t(n));
        f.pos += size_t(n);
        return n;
    },
    [](Handle file, int32_t offset, int32_t origin) -> int32_t {
        if (g->failing("seek")) return -1;
        FakeFile& f = *static_cast<FakeFile*>(file);
        const int64_t base = origin == 0 ? 0 : origin == 1 ? int64_t(f.pos) : int64_t(f.bytes.size());
        const int64_t to = base + offset;
        if (origin < 0 || origin > 2 || to < 0 || to > 0x7FFFFFFF) return -1;
        f.pos = size_t(to);
        return int32_t(to);
    },
    [](Handle file, ChunkInfo* ck, uint32_t flags) -> int32_t {
        if (g->failing("ascend") || flags != 0) return 1;
        FakeFile& f = *static_cast<FakeFile*>(file);
        if (!g->ascendStays) f.pos = uint32_t(ck->dataOffset + ((ck->size + 1) & ~1u));
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
        EXPECT_EQ(fake.searchLoops, 0) << "a chunk search came round again";
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

// The path; the file's header read, its size learnt, back to its start;
// into RIFF, into fmt, its bytes, out; into LIST and out; into data, its
// bytes; the buffer filled and played.
const Calls kPlayCalls = {"allocate", "openFile", "release", "read", "seek", "seek",
                          "descend", "descend", "read", "ascend", "descend", "ascend", "descend",
                          "allocate", "read", "closeFile",
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
// The format is the fmt chunk's own bytes; what a short chunk lacks is zero,
// never the bytes of the chunk that follows it (here "LIST" and its size).
// The extra size handed to DirectSound is 0 whatever the file holds.
struct FmtCase {
    const char* name;
    int fmtBytes;
    uint16_t extra;
    int32_t played;
    uint16_t bitsExpected;
};

const FmtCase kFmtCases[] = {
    {"18 bytes with a stray extra size", 18, 0x1234, 1, 8},
    {"16 bytes: no extra size", 16, 0, 1, 8},
    {"14 bytes: no bits per sample, no play", 14, 0, 0, 0},
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
        EXPECT_EQ(p.Play(kSound), c.played);
        const WaveFormat& kept = p.waveFormat();
        EXPECT_EQ(kept.formatTag, 1);
        EXPECT_EQ(kept.channels, 1);
        EXPECT_EQ(kept.samplesPerSecond, 22050u);
        EXPECT_EQ(kept.averageBytesPerSecond, 22050u);
        EXPECT_EQ(kept.blockAlign, 1);
        EXPECT_EQ(kept.bitsPerSample, c.bitsExpected);
        EXPECT_EQ(kept.extraSize, 0);
        ASSERT_EQ(f.buffers.size(), size_t(c.played));
        if (c.played) {
            EXPECT_EQ(std::memcmp(&f.buffers[0]->format, &kept, sizeof kept), 0) << "handed on as kept";
            EXPECT_EQ(f.buffers[0]->data, w.samples) << "the data chunk is still found";
        }
        p.Close();
        EXPECT_EQ(f.searchLoops, 0);
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

// A file cut short inside its data chunk: the RIFF and data sizes tell of
// ten samples, the file holds six. They play, and the rest is silence.
TEST_F(Player, DataChunkCutShortByTheEndOfTheFileIsPaddedWithSilence) {
    Wav w;
    w.bits = 8;
    w.samples = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    std::vector<uint8_t> bytes = w.bytes();
    bytes.resize(bytes.size() - 4);
    fake.files[kSoundPath] = bytes;
    open();
    EXPECT_EQ(player.Play(kSound), 1);
    ASSERT_EQ(fake.buffers.size(), 1u);
    EXPECT_EQ(fake.buffers[0]->data,
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 0x80, 0x80, 0x80, 0x80}));
}

// Silence fills out at most 1 MiB: a data chunk that runs further past the
// end of the file tells a size that cannot be true.
TEST_F(Player, DataChunkLackingMoreThanAMebibyteIsRefused) {
    for (uint32_t lacking : {0x100000u, 0x100001u}) {
        SCOPED_TRACE(lacking);
        Fake f;
        const uint32_t present = 6;
        wave::Bytes file = wave::riff("WAVE", 0x7FFFFFF0u,
                                      wave::join({wave::chunk("fmt ", wave::fmt(wave::pcm(1, 8, 8000))),
                                                  wave::chunk("data", present + lacking, {1, 2, 3, 4, 5, 6})}));
        f.files[kSoundPath] = file;
        g = &f;
        SwitchSoundPlayer p{&kFakePlatform};
        ASSERT_EQ(p.Open(), 1);
        f.calls.clear();
        const bool plays = lacking <= 0x100000u;
        EXPECT_EQ(p.Play(kSound), plays ? 1 : 0);
        ASSERT_EQ(f.buffers.size(), plays ? 1u : 0u);
        if (plays) {
            ASSERT_EQ(f.buffers[0]->data.size(), present + lacking);
            EXPECT_EQ(f.buffers[0]->data[5], 6);
            EXPECT_EQ(f.buffers[0]->data[6], 0x80);
            EXPECT_EQ(f.buffers[0]->data.back(), 0x80);
        }
        EXPECT_EQ(f.count("allocate"), plays ? 2u : 1u) << "the path, and the samples only for a play";
        p.Close();
    }
    g = &fake;
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
    bool samplesFreed;   // the sample copy was made, and goes at once
};

const PlayFailure kPlayFailures[] = {
    {"no memory for the path", "allocate", 1, 1, false, false, false},
    {"file missing", "openFile", 1, 3, false, false, false},
    {"header unreadable", "read", 1, 4, true, false, false},
    {"size unknown", "seek", 1, 5, true, false, false},
    {"no way back to the start", "seek", 2, 6, true, false, false},
    {"no WAVE form", "descend", 1, 7, true, false, false},
    {"no fmt chunk", "descend", 2, 8, true, false, false},
    {"fmt unreadable", "read", 2, 9, true, false, false},
    {"cannot leave fmt", "ascend", 1, 10, true, false, false},
    {"no chunk after fmt", "descend", 3, 11, true, false, false},
    {"cannot step over LIST", "ascend", 2, 12, true, false, false},
    {"no data chunk", "descend", 4, 13, true, false, false},
    {"no memory for the samples", "allocate", 2, 14, true, false, false},
    {"data unreadable", "read", 3, 15, true, false, true},
    {"buffer refused", "createBuffer", 1, 17, false, false, true},
    {"lock refused", "lock", 1, 18, false, true, true},
    {"unlock refused", "unlock", 1, 20, false, true, false},
    {"position refused", "setPosition", 1, 21, false, true, false},
    {"play refused", "play", 1, 22, false, true, false},
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
        if (c.samplesFreed) expected.push_back("release");
        EXPECT_EQ(f.calls, expected);
        for (const auto& file : f.opened) EXPECT_TRUE(file->closed);
        EXPECT_EQ(p.device(), kDevice);
        EXPECT_NE(p.soundFolder(), nullptr);
        EXPECT_EQ(p.currentBuffer() != nullptr, c.bufferHeld);
        EXPECT_EQ(p.sampleData(), nullptr);
        EXPECT_EQ(f.live.size(), 1u) << "only the folder text";

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

// ---- files from anyone ------------------------------------------------------------------

WaveFormat pcmFormat(uint16_t channels, uint16_t bits, uint32_t rate) {
    const uint16_t block = uint16_t(channels * (bits / 8));
    return {1, channels, rate, rate * block, block, bits, 0};
}
template <typename Change> WaveFormat changed(WaveFormat f, Change change) {
    change(f);
    return f;
}

struct FormatCase {
    const char* name;
    WaveFormat format;
    bool playable;
};

// Every refused format is otherwise consistent (block and average bytes as
// its own fields give them, in 32-bit arithmetic), so that one rule alone
// refuses it.
const FormatCase kFormatCases[] = {
    {"mono 8-bit at 100 Hz", pcmFormat(1, 8, 100), true},
    {"stereo 16-bit at 192 kHz", pcmFormat(2, 16, 192000), true},
    {"mono 16-bit at 22050 Hz", pcmFormat(1, 16, 22050), true},
    {"a stray extra size", changed(pcmFormat(2, 8, 11025), [](WaveFormat& f) { f.extraSize = 0x1234; }), true},
    {"IEEE float", changed(pcmFormat(2, 32, 44100), [](WaveFormat& f) { f.formatTag = 3; }), false},
    {"extensible", changed(pcmFormat(2, 16, 44100), [](WaveFormat& f) { f.formatTag = 0xFFFE; }), false},
    {"no channel", pcmFormat(0, 16, 22050), false},
    {"three channels", pcmFormat(3, 16, 22050), false},
    {"255 channels", pcmFormat(255, 8, 22050), false},
    {"no bits", pcmFormat(1, 0, 22050), false},
    {"24 bits", pcmFormat(1, 24, 22050), false},
    {"48 bits", pcmFormat(1, 48, 22050), false},
    {"64 bits", pcmFormat(1, 64, 22050), false},
    {"99 Hz", pcmFormat(1, 16, 99), false},
    {"1 Hz", pcmFormat(1, 16, 1), false},
    {"192001 Hz", pcmFormat(1, 16, 192001), false},
    {"384 kHz", pcmFormat(1, 16, 384000), false},
    {"0x7FFFFFFF Hz", pcmFormat(1, 16, 0x7FFFFFFF), false},
    {"0x80000000 Hz", pcmFormat(1, 16, 0x80000000u), false},
    {"0xFFFFFFFF Hz", pcmFormat(1, 16, 0xFFFFFFFFu), false},
    {"0x1E005622 Hz", pcmFormat(1, 16, 0x1E005622), false},
    {"block align of one byte for 16 bits",
     changed(pcmFormat(1, 16, 22050), [](WaveFormat& f) { f.blockAlign = 1; f.averageBytesPerSecond = 22050; }),
     false},
    {"no block align", changed(pcmFormat(1, 8, 22050), [](WaveFormat& f) { f.blockAlign = 0; }), false},
    {"average bytes one more", changed(pcmFormat(1, 16, 22050), [](WaveFormat& f) { ++f.averageBytesPerSecond; }),
     false},
    {"no average bytes", changed(pcmFormat(1, 16, 22050), [](WaveFormat& f) { f.averageBytesPerSecond = 0; }),
     false},
};

TEST(SoundFormat, OnlyPcmThatThePlayerCanVouchFor) {
    for (const FormatCase& c : kFormatCases) {
        EXPECT_EQ(playableFormat(c.format), c.playable) << c.name;
    }
}

TEST(SoundChunks, EndsAreReckonedWithoutWrappingAndHeadersMustBeRiffWave) {
    // A chunk always ends after its start, however large its size.
    EXPECT_EQ(chunkEnd(ChunkInfo{0, 0xFFFFFFF8u, 0, 20, 0}), 0x10000000Cull);
    EXPECT_EQ(chunkEnd(ChunkInfo{0, 0xFFFFFFFFu, 0, 20, 0}), 0x100000014ull);
    EXPECT_EQ(chunkEnd(ChunkInfo{0, 7, 0, 20, 0}), 28u) << "with its pad byte";
    EXPECT_EQ(chunkEnd(ChunkInfo{0, 8, 0, 20, 0}), 28u);

    auto header = [](const char* text) {
        uint8_t h[kRiffHeaderBytes];
        std::memcpy(h, text, sizeof h);
        return riffWaveHeader(h);
    };
    EXPECT_TRUE(header("RIFF\x0a\x07\x00\x00WAVE"));
    EXPECT_FALSE(header("RIFF\xf8\xff\xff\xff" "AVI "));
    EXPECT_FALSE(header("RIFX\x0a\x07\x00\x00WAVE"));
    EXPECT_FALSE(header("JUNK\x04\x00\x00\x00WAVE"));
}

const wave::Bytes kFmt18 = wave::fmt(wave::pcm(1, 16, 22050), 18);
const wave::Bytes kSamples = {1, 2, 3, 4, 5, 6, 7, 8};
const wave::Bytes kFmtChunk = wave::chunk("fmt ", kFmt18);
const wave::Bytes kDataChunk = wave::chunk("data", kSamples);

wave::Bytes wavOf(std::initializer_list<wave::Bytes> chunks) { return wave::riff("WAVE", wave::join(chunks)); }

wave::Bytes emptyChunks(int n) {
    wave::Bytes b;
    for (int i = 0; i < n; ++i) b = wave::join({b, wave::chunk("JUNK", {})});
    return b;
}

wave::Bytes cut(wave::Bytes b, size_t bytes) {
    b.resize(bytes);
    return b;
}

struct FileCase {
    const char* name;
    wave::Bytes bytes;
    bool played;
};

const FileCase kFileCases[] = {
    {"well-formed", wavOf({kFmtChunk, kDataChunk}), true},
    {"a hundred chunks before the data", wavOf({kFmtChunk, emptyChunks(100), kDataChunk}), true},
    {"fmt size 0xFFFFFFF8", wavOf({wave::chunk("fmt ", 0xFFFFFFF8u, kFmt18), kDataChunk}), false},
    {"fmt size 0xFFFFFFF7", wavOf({wave::chunk("fmt ", 0xFFFFFFF7u, kFmt18), kDataChunk}), false},
    {"JUNK of 0xFFFFFFF8 before fmt", wavOf({wave::chunk("JUNK", 0xFFFFFFF8u, {}), kFmtChunk, kDataChunk}), false},
    {"JUNK of 0xFFFFFFF7 before data", wavOf({kFmtChunk, wave::chunk("JUNK", 0xFFFFFFF7u, {}), kDataChunk}), false},
    {"RIFF of 0xFFFFFFF8 with form AVI ",
     wave::riff("AVI ", 0xFFFFFFF8u, wave::join({kFmtChunk, kDataChunk})), false},
    {"a RIFF WAVE after a RIFF AVI ",
     wave::join({wave::riff("AVI ", {}), wavOf({kFmtChunk, kDataChunk})}), false},
    {"JUNK past the end of the file", wavOf({kFmtChunk, wave::chunk("JUNK", 4000, {0, 0}), kDataChunk}), false},
    {"JUNK past the RIFF chunk",
     wave::join({wave::riff("WAVE", 4 + 26 + 8, wave::join({kFmtChunk, wave::chunk("JUNK", 8, {})})), kDataChunk}),
     false},
    {"fmt cut short by the end of the file", cut(wavOf({kFmtChunk, kDataChunk}), 30), false},
    {"data past the RIFF chunk", wavOf({kFmtChunk, wave::chunk("data", 100, kSamples)}), false},
    {"data larger than any sound buffer",
     wave::riff("WAVE", 0xFFFFFFF0u, wave::join({kFmtChunk, wave::chunk("data", 0x10000000u, kSamples)})), false},
    {"2000 chunks before the data", wavOf({kFmtChunk, emptyChunks(2000), kDataChunk}), false},
    {"data before fmt", wavOf({kDataChunk, kFmtChunk}), false},
    {"IEEE float", wavOf({wave::chunk("fmt ", wave::fmt({3, 1, 22050, 88200, 4, 32, 0})), kDataChunk}), false},
    {"eleven bytes", cut(wavOf({kFmtChunk, kDataChunk}), 11), false},
    {"nothing", {}, false},
};

// Whatever the file holds, a play ends: it plays, or it fails, closes the
// file, keeps nothing but the folder text and disables the player. No
// search of the platform's comes round again, and the walk looks at a
// bounded number of chunks.
TEST_F(Player, FilesOfAnyShapeArePlayedOrRefusedAndNeverWalkedBackwards) {
    for (const FileCase& c : kFileCases) {
        SCOPED_TRACE(c.name);
        Fake f;
        f.files[kSoundPath] = c.bytes;
        g = &f;
        SwitchSoundPlayer p{&kFakePlatform};
        ASSERT_EQ(p.Open(), 1);
        f.calls.clear();
        EXPECT_EQ(p.Play(kSound), c.played ? 1 : 0);
        EXPECT_EQ(p.enabled(), c.played);
        EXPECT_EQ(f.buffers.size(), c.played ? 1u : 0u);
        if (c.played) {
            EXPECT_EQ(f.buffers[0]->data, kSamples);
        }
        EXPECT_EQ(f.searchLoops, 0);
        EXPECT_LE(f.descends, int(kMostChunks) + 2);
        EXPECT_EQ(f.live.size(), 1u) << "only the folder text";
        for (const auto& file : f.opened) EXPECT_TRUE(file->closed);
        EXPECT_LE(f.count("allocate"), 1u + c.played) << "no sample memory for a refused file";
        p.Close();
    }
    g = &fake;
}

// A platform whose ascend leaves the position where it was (a seek it could
// not make) would have the walk read the same bytes again: the walk notices
// that the next chunk does not start where the last one ended.
TEST_F(Player, WalkEndsWhenAChunkDoesNotStartWhereTheLastOneEnded) {
    Wav w;
    w.fmtBytes = 16;  // the 18-byte read runs 2 bytes past the chunk
    fake.files[kSoundPath] = w.bytes();
    fake.ascendStays = true;
    open();
    EXPECT_EQ(player.Play(kSound), 0);
    EXPECT_FALSE(player.enabled());
    EXPECT_EQ(fake.count("descend"), 3u) << "RIFF, fmt, and the chunk read in the wrong place";
}
