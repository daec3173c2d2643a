// What a module that talks to the simulator directly expects around it: the
// main window of class "FS98MAIN", the simulator's registry values pointing at
// an install folder (the host's own), and a click sound in its "Sound" folder.
// The registry values are answered by the host (sim_registry.h): nothing is
// written to the registry.
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
    // Prepares the install folder and its click sound (through wide-character
    // calls, each checked: a HostFault says what failed) and the window;
    // `log` prints what was done.
    explicit SimulatorStandIn(bool log);
    // The process's stand-in: the one that lives while any holder keeps it,
    // or a new one.
    static std::shared_ptr<SimulatorStandIn> shared(bool log);
    // Whether a gauge needs the stand-in: it imports DirectSound or the
    // registry's library.
    static bool wanted(const Gauge& g);
    ~SimulatorStandIn();
    SimulatorStandIn(const SimulatorStandIn&) = delete;
    SimulatorStandIn& operator=(const SimulatorStandIn&) = delete;
    // The install folder as the module is told it: a name it can open with
    // ANSI calls (UTF-8 here).
    const std::string& folder() const { return folder_; }
    // Routes the module's DirectSoundCreate and its registry functions
    // through the host, so that the device, every sound buffer it plays and
    // every registry call show in `log`; the simulator's key is answered
    // with the install folder.
    void watch(const ModuleImage& m, std::function<void(const std::string&)> log);
    // Stops the lines (the host that printed them is going).
    void quiet();

private:
    std::wstring modulePath_;   // the folder as the module's registry read gives it
    std::string folder_;
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
