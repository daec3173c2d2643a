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

// A block of memory handed to module code: `capacity` bytes at the start of
// a page of its own, guard bytes to the end of the page, then address space
// up to `reach` bytes from the start that no one may touch. A routine that
// writes past the capacity changes the guard bytes or, if it runs on (or
// jumps ahead), faults inside module code; it never reaches the host's own
// memory.
class GuardedBlock {
public:
    GuardedBlock(uint32_t capacity, uint32_t reach);
    ~GuardedBlock();
    GuardedBlock(const GuardedBlock&) = delete;
    GuardedBlock& operator=(const GuardedBlock&) = delete;
    char* data() const { return base_; }
    bool guardIntact() const;
    // Whether an address lies past the capacity, within the reach.
    bool past(uint32_t address) const;
    // Fills the capacity with guard bytes too, and whether it stays so: a
    // block taken back from module code that must not be written any more.
    void seal();
    bool sealIntact() const;

protected:
    const uint32_t capacity_, reach_;
    char* base_ = nullptr;
};

// A string element's text buffer: the capacity the host promises, then
// guard bytes, then a megabyte of address space no one may touch.
class TextBuffer : public GuardedBlock {
public:
    static constexpr uint32_t kCapacity = 256;   // bytes a value routine may write, NUL included
    static constexpr uint32_t kReach = 1 << 20;  // the buffer's page and the untouchable space after it
    TextBuffer();
    bool terminated() const;   // a NUL within the capacity
    std::string text() const;  // up to the first NUL, within the capacity
};

// The point a mouse handler is given, as a handler may read it while it
// runs: a block of its own, sealed once the handler returns, so that a
// handler that writes past it, or keeps the pointer and writes through it
// later, is seen and named.
class MousePointBlock : public GuardedBlock {
public:
    static constexpr uint32_t kReach = 64 << 10;
    MousePointBlock();
    uint32_t hand(int32_t x, int32_t y);   // the point written, unsealed; its address
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
    // Throws when the sealed mouse point was written during call `what`
    // (`failure`: how the call itself ended, when it failed).
    void keptPoint(const std::string& what, const char* failure);
    int elementAt(uint32_t addr) const;
    uint32_t backgroundRecord() const;
    std::string varName(uint32_t addr) const;

    ModuleImage& m_;
    Gauge& g_;
    bool log_;
    std::vector<std::unique_ptr<hostapi::HostImageRecord>> records_;
    std::map<size_t, std::unique_ptr<TextBuffer>> textBuffers_;    // by element index
    MousePointBlock mousePoint_;
    std::string pointHolder_;   // the handler the point was last handed to
    std::vector<MouseEntry> mouseList_;
    bool mouseActive_ = false;
    uint32_t mouseListAddr_ = 0;
    std::string running_;   // the module call now running, for onService
    Renderer renderer_;
};

}  // namespace gaugehost
