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

bool riffWaveHeader(const uint8_t (&head)[kRiffHeaderBytes]) {
    uint32_t id, form;
    std::memcpy(&id, head, 4);
    std::memcpy(&form, head + 8, 4);
    return id == kChunkRiff && form == kFormWave;
}

bool playableFormat(const WaveFormat& f) {
    if (f.formatTag != kFormatPcm) return false;
    if (f.channels != 1 && f.channels != 2) return false;
    if (f.bitsPerSample != 8 && f.bitsPerSample != 16) return false;
    if (f.samplesPerSecond < kLowestRate || f.samplesPerSecond > kHighestRate) return false;
    const uint32_t block = uint32_t(f.channels) * (f.bitsPerSample / 8u);
    return f.blockAlign == block && f.averageBytesPerSecond == f.samplesPerSecond * block;
}

// Nothing of a failed play is kept for a later one: its samples go at once.
int32_t SwitchSoundPlayer::fail() {
    releaseSamples();
    enabled_ = 0;
    return 0;
}

void SwitchSoundPlayer::releaseSamples() {
    if (sampleData_ == nullptr) return;
    platform_->release(sampleData_);
    sampleData_ = nullptr;
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
    soundFolder_ = static_cast<char*>(p.allocate(kPathCapacity, true));
    if (soundFolder_ == nullptr) {
        p.closeKey(key);
        return fail();
    }
    // A value that fills the whole buffer has no room left for its NUL: it
    // does not fit, like a longer one.
    bytes = kPathCapacity;
    if (p.queryValue(key, kPathValue, soundFolder_, &bytes) != 0 ||
        !fitsText(boundedLength(soundFolder_, kPathCapacity), kPathCapacity)) {
        p.closeKey(key);
        p.release(soundFolder_);
        soundFolder_ = nullptr;
        return fail();
    }
    p.closeKey(key);

    // The folder text ends at its first NUL; whatever the value holds after
    // it is not text and is overwritten by the subfolder and its NUL.
    const size_t folder = boundedLength(soundFolder_, kPathCapacity);
    const size_t subfolder = sizeof kSoundSubfolder - 1;
    if (!fitsText(folder + subfolder, kPathCapacity)) return fail();
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
    const size_t folder = boundedLength(soundFolder_, kPathCapacity);
    const size_t name = boundedLength(fileName, kPathCapacity);
    if (!fitsText(folder, kPathCapacity) || !fitsText(folder + name, kPathCapacity)) return fail();
    char* path = static_cast<char*>(p.allocate(kPathCapacity, true));
    if (path == nullptr) return fail();
    copyBytes(path, soundFolder_, folder);
    copyBytes(path + folder, fileName, name);
    path[folder + name] = '\0';

    Handle file = p.openFile(path, kFileAllocBufRead);
    p.release(path);
    if (file == nullptr) return fail();

    // The file must open with a RIFF chunk of form WAVE. The platform's RIFF
    // search would step over any other chunk by its size, and a size near
    // 4 GiB steps it back to where it started, for ever.
    uint8_t head[kRiffHeaderBytes];
    if (p.read(file, head, sizeof head) != int32_t(sizeof head) || !riffWaveHeader(head))
        return failFile(file);
    // The file's size bounds every chunk the walk steps over.
    const int32_t fileBytes = p.seek(file, 0, kSeekEnd);
    if (fileBytes < 0 || p.seek(file, 0, kSeekSet) != 0) return failFile(file);

    ChunkInfo riff{};
    riff.formType = kFormWave;
    if (p.descend(file, &riff, nullptr, kFindRiff) != 0) return failFile(file);
    const uint64_t riffEnd = uint64_t(riff.dataOffset) + riff.size;
    const uint64_t limit = riffEnd < uint64_t(fileBytes) ? riffEnd : uint64_t(fileBytes);

    ChunkInfo chunk{};
    if (!findChunk(file, riff, kChunkFmt, uint64_t(riff.dataOffset) + 4, limit, chunk) ||
        chunkEnd(chunk) > limit)
        return failFile(file);
    const int32_t formatRead = p.read(file, &waveFormat_, sizeof waveFormat_);
    if (formatRead == -1) return failFile(file);
    // What the chunk does not hold (a 16-byte fmt chunk has no extra size),
    // or the file did not give, is zero, never the bytes that follow.
    uint32_t held = formatRead < 0 ? 0 : uint32_t(formatRead);
    if (chunk.size < held) held = chunk.size;
    if (held < sizeof waveFormat_)
        fillBytes(reinterpret_cast<uint8_t*>(&waveFormat_) + held, 0, sizeof waveFormat_ - held);
    if (!playableFormat(waveFormat_)) return failFile(file);
    // Only these 18 bytes are kept: DirectSound must not look for more.
    waveFormat_.extraSize = 0;
    if (p.ascend(file, &chunk, 0) != 0) return failFile(file);
    if (!findChunk(file, riff, kChunkData, chunkEnd(chunk), limit, chunk)) return failFile(file);

    // The data lies within the RIFF chunk. Where the file ends before it
    // does, the file was cut short: what it lacks plays as silence (below),
    // up to kMostSilence bytes. A size that runs further past the end of the
    // file cannot be true, and filling it would hold up the click.
    const uint64_t dataEnd = uint64_t(chunk.dataOffset) + chunk.size;
    if (dataEnd > riffEnd || dataEnd > uint64_t(fileBytes) + kMostSilence) return failFile(file);
    sampleBytes_ = chunk.size;
    if (sampleBytes_ > kLargestBuffer) return failFile(file);  // no buffer could hold it
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
    releaseSamples();

    if (p.unlock(currentBuffer_, &regions) != 0) return fail();
    if (p.setPosition(currentBuffer_, 0) != 0) return fail();
    if (p.play(currentBuffer_, 0, 0, 0) != 0) return fail();
    return 1;
}

// Descends to the next sub-chunk `id` of `riff`, starting at file offset
// `position`, stepping over the chunks before it one by one. The walk only
// goes forward: each chunk must start where the one before it ended, and a
// chunk stepped over must end, with its pad byte, within `limit`. Otherwise,
// after kMostChunks chunks, or at the end of the RIFF chunk, the search
// fails.
bool SwitchSoundPlayer::findChunk(Handle file, const ChunkInfo& riff, uint32_t id, uint64_t position,
                                  uint64_t limit, ChunkInfo& chunk) {
    const SoundPlatform& p = *platform_;
    for (uint32_t n = 0; n < kMostChunks; ++n) {
        chunk = ChunkInfo{};
        if (p.descend(file, &chunk, &riff, 0) != 0) return false;
        if (chunk.dataOffset != position + 8) return false;
        if (chunk.id == id) return true;
        position = chunkEnd(chunk);
        if (position > limit) return false;
        if (p.ascend(file, &chunk, 0) != 0) return false;
    }
    return false;
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
    releaseSamples();
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
