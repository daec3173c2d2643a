#include "sound_player.h"

#include <cstring>

namespace lumivane {

const char kHostWindowClass[] = "FS98MAIN";
const char kSimulatorKey[] = "SOFTWARE\\Microsoft\\Microsoft Games\\Flight Simulator\\7.0";
const char kPlayerNameValue[] = "PlayerName";
const char kPathValue[] = "path";
const char kSoundSubfolder[] = "\\Sound\\";

namespace {

constexpr uint32_t kBufferDescBytes = 36;   // the 32-bit DSBUFFERDESC
constexpr uint32_t kFirstEarlierSlots = 8;

void copyBytes(void* to, const void* from, size_t n) {
    if (n != 0) std::memcpy(to, from, n);
}
void fillBytes(void* to, uint8_t value, size_t n) {
    if (n != 0) std::memset(to, value, n);
}

}  // namespace

size_t boundedLength(const char* text, size_t capacity) {
    size_t n = 0;
    while (n < capacity && text[n] != '\0') ++n;
    return n;
}

int32_t SwitchSoundPlayer::fail() {
    enabled_ = 0;
    return 0;
}

int32_t SwitchSoundPlayer::failFile(Handle file) {
    platform_->closeFile(file, 0);
    return fail();
}

int32_t SwitchSoundPlayer::Open() {
    const SoundPlatform& p = *platform_;
    Handle window = p.findWindow(kHostWindowClass);
    if (window == nullptr) return fail();

    // A second install of the gauge opens the one module-wide player again:
    // what the first one opened is released rather than lost.
    Close();

    Handle device = nullptr;
    if (p.createDevice(&device) != 0) return fail();
    device_ = device;
    if (p.setCooperativeLevel(device_, window, kCooperativeNormal) != 0) return fail();

    Handle key = nullptr;
    if (p.openKey(kRootLocalMachine, kSimulatorKey, kKeyRead, &key) != 0) return fail();
    uint32_t bytes = 0;
    if (p.queryValue(key, kPlayerNameValue, nullptr, &bytes) != 0) {
        p.closeKey(key);
        return fail();
    }
    soundFolder_ = static_cast<char*>(p.allocate(kTextCapacity, true));
    if (soundFolder_ == nullptr) {
        p.closeKey(key);
        return fail();
    }
    // A value that fills the whole buffer has no room left for its NUL: it
    // does not fit, like a longer one.
    bytes = kTextCapacity;
    if (p.queryValue(key, kPathValue, soundFolder_, &bytes) != 0 ||
        !fitsText(boundedLength(soundFolder_, kTextCapacity), kTextCapacity)) {
        p.closeKey(key);
        p.release(soundFolder_);
        soundFolder_ = nullptr;
        return fail();
    }
    p.closeKey(key);

    // The folder text ends at its first NUL; whatever the value holds after
    // it is not text and is overwritten by the subfolder and its NUL.
    const size_t folder = boundedLength(soundFolder_, kTextCapacity);
    const size_t subfolder = sizeof kSoundSubfolder - 1;
    if (!fitsText(folder + subfolder, kTextCapacity)) return fail();
    copyBytes(soundFolder_ + folder, kSoundSubfolder, subfolder + 1);
    return 1;
}

int32_t SwitchSoundPlayer::Play(const char* fileName) {
    if (enabled_ == 0) return 0;
    // Another instance of the gauge was killed and closed the player while
    // this one stays installed: nothing to play with.
    if (device_ == nullptr || soundFolder_ == nullptr) return 0;
    if (fileName == nullptr) return fail();
    const SoundPlatform& p = *platform_;

    // Neither text is measured past the room a path has.
    const size_t folder = boundedLength(soundFolder_, kTextCapacity);
    const size_t name = boundedLength(fileName, kTextCapacity);
    if (!fitsText(folder, kTextCapacity) || !fitsText(folder + name, kTextCapacity)) return fail();
    char* path = static_cast<char*>(p.allocate(kTextCapacity, true));
    if (path == nullptr) return fail();
    copyBytes(path, soundFolder_, folder);
    copyBytes(path + folder, fileName, name);
    path[folder + name] = '\0';

    Handle file = p.openFile(path, kFileAllocBufRead);
    p.release(path);
    if (file == nullptr) return fail();

    ChunkInfo riff{};
    riff.formType = kFormWave;
    if (p.descend(file, &riff, nullptr, kFindRiff) != 0) return failFile(file);
    ChunkInfo chunk{};
    chunk.id = kChunkFmt;
    if (p.descend(file, &chunk, &riff, kFindChunk) != 0) return failFile(file);
    if (p.read(file, &waveFormat_, sizeof waveFormat_) == -1) return failFile(file);
    // A short fmt chunk (16 bytes, without the extra-size field) must not
    // leave the bytes of the next chunk in the format.
    if (chunk.size < sizeof waveFormat_)
        fillBytes(reinterpret_cast<uint8_t*>(&waveFormat_) + chunk.size, 0,
                  sizeof waveFormat_ - chunk.size);
    if (p.ascend(file, &chunk, 0) != 0) return failFile(file);
    chunk.id = kChunkData;
    if (p.descend(file, &chunk, &riff, kFindChunk) != 0) return failFile(file);

    sampleBytes_ = chunk.size;
    if (sampleBytes_ > 0x7FFFFFFFu) return failFile(file);  // more than a read can ask for
    sampleData_ = p.allocate(sampleBytes_, false);
    if (sampleData_ == nullptr) return failFile(file);
    const int32_t got = p.read(file, sampleData_, static_cast<int32_t>(sampleBytes_));
    if (got == -1) return failFile(file);
    // A file cut short plays silence for the samples it lacks.
    const uint32_t read = got < 0 ? 0 : static_cast<uint32_t>(got);
    if (read < sampleBytes_)
        fillBytes(static_cast<uint8_t*>(sampleData_) + read, silenceByte(waveFormat_),
                  sampleBytes_ - read);
    p.closeFile(file, 0);

    BufferDesc desc{};
    desc.size = kBufferDescBytes;
    desc.flags = kBufferFlags;
    desc.bufferBytes = sampleBytes_;
    desc.format = &waveFormat_;
    if (!retireCurrentBuffer()) return fail();
    Handle buffer = nullptr;
    if (p.createBuffer(device_, &desc, &buffer) != 0) return fail();
    currentBuffer_ = buffer;

    LockedRegions regions{};
    if (p.lock(currentBuffer_, 0, sampleBytes_, &regions, 0) != 0) return fail();
    // A lock of the whole buffer from 0 comes back as one region; should it
    // not, the samples continue in the second, and neither is overrun.
    uint32_t first = sampleBytes_ < regions.firstBytes ? sampleBytes_ : regions.firstBytes;
    if (regions.first == nullptr) first = 0;
    copyBytes(regions.first, sampleData_, first);
    uint32_t rest = sampleBytes_ - first;
    if (rest > regions.secondBytes) rest = regions.secondBytes;
    if (regions.second != nullptr) copyBytes(regions.second, static_cast<uint8_t*>(sampleData_) + first, rest);
    // The samples are in the buffer now; the copy has done its work.
    p.release(sampleData_);
    sampleData_ = nullptr;

    if (p.unlock(currentBuffer_, &regions) != 0) return fail();
    if (p.setPosition(currentBuffer_, 0) != 0) return fail();
    if (p.play(currentBuffer_, 0, 0, 0) != 0) return fail();
    return 1;
}

// Releases the buffers of earlier plays whose sound has ended (or whose
// status cannot be had), keeping the order of the rest.
void SwitchSoundPlayer::releaseFinishedBuffers() {
    const SoundPlatform& p = *platform_;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < earlierCount_; ++i) {
        uint32_t status = 0;
        if (p.status(earlier_[i], &status) != 0 || (status & kStatusPlaying) == 0)
            p.releaseBuffer(earlier_[i]);
        else
            earlier_[kept++] = earlier_[i];
    }
    earlierCount_ = kept;
}

// Makes way for a new buffer: the current one is released if its sound has
// ended, or else kept among the earlier buffers to play to its end. False
// when there is no memory to keep it.
bool SwitchSoundPlayer::retireCurrentBuffer() {
    const SoundPlatform& p = *platform_;
    releaseFinishedBuffers();
    if (currentBuffer_ == nullptr) return true;
    uint32_t status = 0;
    if (p.status(currentBuffer_, &status) != 0 || (status & kStatusPlaying) == 0) {
        p.releaseBuffer(currentBuffer_);
        currentBuffer_ = nullptr;
        return true;
    }
    if (earlierCount_ == earlierCapacity_) {
        const uint32_t capacity = earlierCapacity_ == 0 ? kFirstEarlierSlots : 2 * earlierCapacity_;
        auto* grown = static_cast<Handle*>(p.allocate(capacity * sizeof(Handle), false));
        if (grown == nullptr) return false;
        copyBytes(grown, earlier_, earlierCount_ * sizeof(Handle));
        if (earlier_ != nullptr) p.release(earlier_);
        earlier_ = grown;
        earlierCapacity_ = capacity;
    }
    earlier_[earlierCount_++] = currentBuffer_;
    currentBuffer_ = nullptr;
    return true;
}

void SwitchSoundPlayer::Close() {
    const SoundPlatform& p = *platform_;
    if (soundFolder_ != nullptr) {
        p.release(soundFolder_);
        soundFolder_ = nullptr;
    }
    if (sampleData_ != nullptr) {
        p.release(sampleData_);
        sampleData_ = nullptr;
    }
    for (uint32_t i = 0; i < earlierCount_; ++i) p.releaseBuffer(earlier_[i]);
    earlierCount_ = 0;
    if (earlier_ != nullptr) {
        p.release(earlier_);
        earlier_ = nullptr;
        earlierCapacity_ = 0;
    }
    if (currentBuffer_ != nullptr) {
        p.releaseBuffer(currentBuffer_);
        currentBuffer_ = nullptr;
    }
    if (device_ != nullptr) {
        p.releaseDevice(device_);
        device_ = nullptr;
    }
}

}  // namespace lumivane
