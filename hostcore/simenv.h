// What a module that talks to the simulator directly expects around it: the
// main window of class "FS98MAIN", the simulator's registry values pointing at
// an install folder (the host's own), and a click sound in its "Sound" folder.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace gaugehost {

class ModuleImage;
struct Gauge;

class SimulatorStandIn {
public:
    // Sets everything up; `log` prints what was done.
    explicit SimulatorStandIn(bool log);
    // The process's stand-in: the one that lives while any holder keeps it,
    // or a new one.
    static std::shared_ptr<SimulatorStandIn> shared(bool log);
    // Whether a gauge needs the stand-in: it imports DirectSound.
    static bool wanted(const Gauge& g);
    // Restores the registry values found before (or removes ours).
    ~SimulatorStandIn();
    const std::string& folder() const { return folder_; }
    // Routes the module's DirectSoundCreate through the host, so that the
    // device and every sound buffer it plays show in `log`.
    void watchSound(const ModuleImage& m, std::function<void(const std::string&)> log);

private:
    std::string folder_;
    bool hadPath_ = false, hadPlayer_ = false, createdKey_ = false;
    std::string oldPath_, oldPlayer_;
    void* window_ = nullptr;
};

// A sound a watched module started through DirectSound: the buffer's
// format and bytes, read just before it plays.
struct PlayedSound {
    uint16_t formatTag = 0, channels = 0, blockAlign = 0, bitsPerSample = 0;
    uint32_t samplesPerSecond = 0;
    std::string bytes;      // the buffer's samples, at most kMaxCapturedSound
    uint32_t bufferBytes = 0;
};
constexpr uint32_t kMaxCapturedSound = 4u << 20;
// Hands every sound a watched module plays to `sink` (an empty one stops
// it), which plays it elsewhere: the buffer's Play succeeds without playing
// it here.
void captureSound(std::function<void(const PlayedSound&)> sink);

// A short click: 16-bit mono PCM, 22050 Hz, a 40 ms decaying burst.
std::string clickWave();

}  // namespace gaugehost
