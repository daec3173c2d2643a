// The panel host: service table, simulation variables with a small model of
// the key events the gauges send, the lifecycle of both header versions,
// mouse hit-testing, and drawing the element tree.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "image.h"
#include "records.h"

namespace gh {

struct Canvas {
    int width = 0, height = 0;
    std::vector<uint32_t> px;   // 0x00RRGGBB, top-down
    uint32_t at(int x, int y) const { return px[size_t(y) * width + x]; }
};

struct KeyEvent {
    uint32_t id;
    int32_t param;
};

class Host {
public:
    Host(Module& m, Gauge& g, int scale, bool log);
    ~Host();

    void start();                 // service table, module start, install, initialize / code 10
    void frame();                 // one frame of the header's version
    void stop();                  // kill (610), release, module stop
    // A mouse event at a point of the gauge as drawn; returns whether a
    // handler was called.
    bool mouse(int32_t x, int32_t y, uint32_t event);
    Canvas compose();             // draws the tree as it stands
    Canvas scaled(const Canvas& c) const;

    std::map<uint32_t, double> vars;        // simulation variables, 0 unless set
    int brakeSelector = 0;                  // brake selector position, 0 to 5
    std::vector<KeyEvent> keys;             // every key event received
    std::vector<uint32_t> moduleVars;       // module-level variables met through 38/40
    std::vector<std::string> warnings;
    int scale = 1;
    bool started = false;

    double var(uint32_t id) const;
    void setVar(uint32_t id, double v, const char* why);
    void logLine(const std::string& s) const;

    // Called by the service table.
    void service(unsigned slot, const uint32_t* args);

    const std::vector<MouseEntry>& mouseList() const { return mouseList_; }

private:
    void installElements();
    void releaseElements();
    void refreshElementVars(int from);
    double elementValue(const Element& e);
    void drawElement(Canvas& c, const Element& e, double value);
    void drawString(Canvas& c, const Element& e);
    void keyEvent(uint32_t id, int32_t param);
    int elementAt(uint32_t addr) const;
    std::string off(uint32_t a) const;
    std::string varName(uint32_t addr) const;

    Module& m_;
    Gauge& g_;
    bool log_;
    struct ImageRecord { uint32_t host00; int32_t w, h; };
    std::vector<std::unique_ptr<ImageRecord>> records_;
    // A string element's text buffer: the capacity the host promises, then
    // guard bytes to the end of its page, then a page no one may touch. A
    // value routine that writes too far is caught by the guard bytes or, if
    // it runs on further, faults inside module code; it never reaches the
    // host's own heap.
    class TextBuffer {
    public:
        TextBuffer();
        ~TextBuffer();
        TextBuffer(const TextBuffer&) = delete;
        TextBuffer& operator=(const TextBuffer&) = delete;
        char* data() const { return base_; }
        bool guardIntact() const;
    private:
        char* base_ = nullptr;
    };
    std::map<int, std::unique_ptr<TextBuffer>> textBuffers_;    // by element index
    std::vector<MouseEntry> mouseList_;
    bool mouseActive_ = false;
    uint32_t mouseListAddr_ = 0;
    // GDI surface for text
    HDC dc_ = nullptr;
    HBITMAP dib_ = nullptr;
    uint32_t* dibBits_ = nullptr;
    int dibW_ = 0, dibH_ = 0;
};

const char* serviceName(unsigned slot);

}  // namespace gh
