// The panel host around one loaded gauge: it fills the import table, runs
// the lifecycle of the header's version, installs the element tree (image
// records and guarded text buffers), answers the module's service calls,
// hit-tests mouse events against the registered mouse list, and hands the
// element values to the renderer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../hostapi/elements.h"
#include "guard.h"
#include "module_image.h"
#include "records.h"
#include "renderer.h"
#include "services.h"

namespace gaugehost {

// A string element's text buffer: the capacity the host promises, then
// guard bytes to the end of its page, then a megabyte of address space no
// one may touch. A value routine that writes too far is caught by the guard
// bytes or, if it runs on (or jumps ahead, as a fill that writes its last
// bytes first does), faults inside module code; it never reaches the
// host's own memory.
class TextBuffer {
public:
    static constexpr uint32_t kCapacity = 256;   // bytes a value routine may write, NUL included
    static constexpr uint32_t kReach = 1 << 20;  // the buffer's page and the untouchable space after it
    TextBuffer();
    ~TextBuffer();
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    char* data() const { return base_; }
    bool guardIntact() const;
    // Whether an address lies past the capacity, within the reach.
    bool past(uint32_t address) const;
    bool terminated() const;   // a NUL within the capacity
    std::string text() const;  // up to the first NUL, within the capacity

private:
    char* base_ = nullptr;
};

// What a picture is drawn from: per element, in drawing order, its image
// flags, its value (a slider's y value) and x value, and its text.
struct DrawInputs {
    std::vector<uint32_t> flags;
    std::vector<double> values, xValues;
    std::vector<std::string> texts;
    bool operator==(const DrawInputs& o) const;
};

class GaugeHost : private ServiceSink {
public:
    GaugeHost(ModuleImage& m, Gauge& g, int scale, bool log);
    ~GaugeHost();
    GaugeHost(const GaugeHost&) = delete;
    GaugeHost& operator=(const GaugeHost&) = delete;

    void start();                 // service table, module start, install, initialize / code 10
    void frame();                 // one frame of the header's version
    void stop();                  // kill (610), release, module stop
    // A mouse event at a point of the gauge as drawn; returns whether a
    // handler was called.
    bool mouse(int32_t x, int32_t y, uint32_t event);
    Picture draw();               // the tree as it stands, at the host's scale
    // What a draw asks of the module, without drawing: every element's
    // value, value routines called in drawing order (into drawnValues).
    void evaluate();
    // The same, drawn only when what it is drawn from differs from `last`
    // (the value routines run either way); returns whether it drew.
    bool drawIfChanged(DrawInputs& last, Picture& out);

    SimulationModel sim;
    std::vector<KeyEvent> keys;             // every key event received
    // Whether key events act on `sim`. A worker whose server owns the
    // simulation only records them (their effect None) and reports them.
    bool applyKeyEvents = true;
    std::vector<uint32_t> moduleVars;       // module-level variables met through 38/40
    std::vector<std::string> warnings;      // each once, in the order met
    int scale = 1;
    bool started = false;

    void setVar(uint32_t id, double v, const char* why);
    void logLine(const std::string& s) const;
    void warn(const std::string& s);
    // Receives every log line in place of standard output when set.
    std::function<void(const std::string&)> logSink;

    // For the check command: each call into the module as it returns (what
    // it did to the calling convention, its time in seconds), and each
    // service call as it arrives (with the module call it came from).
    std::function<void(const std::string& what, const CallBreach& breach, double seconds)> onCall;
    std::function<void(unsigned slot, const uint32_t* args, const std::string& during)> onService;
    // The value each element was drawn with by the last draw() or
    // evaluate() (the value routine's result, or the element's variable).
    std::vector<double> drawnValues;
    // The text buffer of a string element (null for any other element, or
    // before the tree is installed).
    const TextBuffer* textBuffer(size_t element) const;
    // Calls the handler of mouse list entry `entry` with a point as drawn and
    // an event, as a hit there does. Returns what the handler returned.
    int32_t handleMouse(size_t entry, int32_t x, int32_t y, uint32_t event);

    const std::vector<MouseEntry>& mouseList() const { return mouseList_; }
    bool mouseActive() const { return mouseActive_; }
    const ModuleImage& image() const { return m_; }
    const Gauge& gauge() const { return g_; }

private:
    void service(unsigned slot, const uint32_t* args) override;
    CallResult call(const std::string& what, uint32_t fn, std::initializer_list<uint32_t> args,
                    bool returnsDouble = false);
    void installElements();
    void releaseElements();
    void refreshElementVars(int from);
    double elementValue(size_t index);
    DrawInputs gatherInputs();
    Picture render(Picture background, const DrawInputs& in);
    void keyEvent(uint32_t id, int32_t param);
    int elementAt(uint32_t addr) const;
    uint32_t backgroundRecord() const;
    std::string varName(uint32_t addr) const;

    ModuleImage& m_;
    Gauge& g_;
    bool log_;
    std::vector<std::unique_ptr<hostapi::HostImageRecord>> records_;
    std::map<size_t, std::unique_ptr<TextBuffer>> textBuffers_;    // by element index
    std::vector<MouseEntry> mouseList_;
    bool mouseActive_ = false;
    uint32_t mouseListAddr_ = 0;
    std::string running_;   // the module call now running, for onService
    Renderer renderer_;
};

}  // namespace gaugehost
