#include "gauge_host.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace gaugehost {

namespace {
constexpr uint32_t kPage = 4096;   // a guarded block's page: capacity, then guard bytes
constexpr uint8_t kGuardByte = 0xCD;
static_assert(TextBuffer::kCapacity < kPage, "the guard bytes follow the capacity on the same page");
}  // namespace

// ---- guarded blocks --------------------------------------------------------------------

GuardedBlock::GuardedBlock(uint32_t capacity, uint32_t reach) : capacity_(capacity), reach_(reach) {
    // Reserved, not committed: every page after the first faults.
    void* p = VirtualAlloc(nullptr, reach, MEM_RESERVE, PAGE_NOACCESS);
    if (!p || !VirtualAlloc(p, kPage, MEM_COMMIT, PAGE_READWRITE)) {
        if (p) VirtualFree(p, 0, MEM_RELEASE);
        throw HostFault("cannot reserve a guarded block for module code (error " + std::to_string(GetLastError()) + ")");
    }
    base_ = static_cast<char*>(p);
    std::memset(base_, kGuardByte, kPage);
}

GuardedBlock::~GuardedBlock() { VirtualFree(base_, 0, MEM_RELEASE); }

bool GuardedBlock::guardIntact() const {
    for (uint32_t i = capacity_; i < kPage; ++i)
        if (uint8_t(base_[i]) != kGuardByte) return false;
    return true;
}

bool GuardedBlock::past(uint32_t a) const {
    const uint32_t base = uint32_t(uintptr_t(base_));
    return a - base >= capacity_ && a - base < reach_;
}

void GuardedBlock::seal() { std::memset(base_, kGuardByte, kPage); }

bool GuardedBlock::sealIntact() const {
    for (uint32_t i = 0; i < capacity_; ++i)
        if (uint8_t(base_[i]) != kGuardByte) return false;
    return guardIntact();
}

TextBuffer::TextBuffer() : GuardedBlock(kCapacity, kReach) { base_[0] = 0; }

bool TextBuffer::terminated() const { return std::memchr(base_, 0, kCapacity) != nullptr; }

std::string TextBuffer::text() const { return std::string(base_, strnlen(base_, kCapacity)); }

MousePointBlock::MousePointBlock() : GuardedBlock(sizeof(hostapi::MousePoint), kReach) {}

uint32_t MousePointBlock::hand(int32_t x, int32_t y) {
    const hostapi::MousePoint p = {x, y};
    std::memcpy(base_, &p, sizeof p);
    return uint32_t(uintptr_t(base_));
}

// ---- the host ----------------------------------------------------------------------------

GaugeHost::GaugeHost(ModuleImage& m, Gauge& g, int scaleFactor, bool log)
    : scale(scaleFactor), m_(m), g_(g), log_(log) {
    setServiceSink(this);
}

GaugeHost::~GaugeHost() { setServiceSink(nullptr); }

void GaugeHost::logLine(const std::string& s) const {
    if (logSink) logSink(s);
    else if (log_) std::printf("    %s\n", s.c_str());
}

void GaugeHost::warn(const std::string& s) {
    if (std::find(warnings.begin(), warnings.end(), s) == warnings.end()) warnings.push_back(s);
}

void GaugeHost::setVar(uint32_t id, double v, const char* why) {
    sim.setVar(id, v);
    if (why) logLine(std::string(why) + ": var " + std::to_string(id) + " = " + number(v));
}

int GaugeHost::elementAt(uint32_t addr) const {
    for (size_t i = 0; i < g_.elements.size(); ++i)
        if (g_.elements[i].addr == addr) return int(i);
    return -1;
}

std::string GaugeHost::varName(uint32_t addr) const {
    return "var " + std::to_string(m_.read<hostapi::ModuleVar>(addr, "ModuleVar").id) + " at " + m_.offset(addr);
}

// Every call into the module goes through here: what a routine does to the
// calling convention is survived, and said.
CallResult GaugeHost::call(const std::string& what, uint32_t fn, std::initializer_list<uint32_t> args,
                           bool returnsDouble) {
    CallBreach breach;
    LARGE_INTEGER t0 = {}, t1 = {}, f = {};
    if (onCall) QueryPerformanceCounter(&t0);
    running_ = what;
    CallResult r;
    try {
        r = guardedCall(what, fn, args, returnsDouble, &breach);
    } catch (const ModuleError& e) {
        running_.clear();
        keptPoint(what, e.what());
        throw;
    } catch (...) {
        running_.clear();
        throw;
    }
    running_.clear();
    keptPoint(what, nullptr);
    if (breach.any()) warn(what + " broke the calling convention: it " + breach.describe());
    if (onCall) {
        QueryPerformanceCounter(&t1);
        QueryPerformanceFrequency(&f);
        onCall(what, breach, double(t1.QuadPart - t0.QuadPart) / double(f.QuadPart));
    }
    return r;
}

// The mouse point is sealed between handler calls: a change to it means
// that module code wrote through a pointer the handler kept.
void GaugeHost::keptPoint(const std::string& what, const char* failure) {
    if (pointHolder_.empty() || mousePoint_.sealIntact()) return;
    mousePoint_.seal();
    throw ModuleError(what + " wrote to the mouse point handed to " + pointHolder_ +
                      ", after that handler had returned (the pointer was kept)" +
                      (failure ? std::string(", and failed: ") + failure : std::string()));
}

const TextBuffer* GaugeHost::textBuffer(size_t element) const {
    auto it = textBuffers_.find(element);
    return it == textBuffers_.end() ? nullptr : it->second.get();
}

void GaugeHost::keyEvent(uint32_t id, int32_t param) {
    if (!applyKeyEvents) {
        keys.push_back({id, param, {}});
        logLine("key event " + std::to_string(id) + " reported, not applied here");
        return;
    }
    const KeyEffect effect = sim.apply(id, param);
    keys.push_back({id, param, effect});
    const std::string text = effectLog(effect);
    logLine(text.empty() ? "key event " + std::to_string(id) + " has no effect in this host's simulation"
                         : "key event " + text);
}

uint32_t GaugeHost::backgroundRecord() const {
    return g_.elements.empty() ? 0 : m_.u32(g_.elements[0].imageSlot(), "root element");
}

// ---- installation ------------------------------------------------------------------

void GaugeHost::installElements() {
    records_.clear();
    textBuffers_.clear();
    for (size_t i = 0; i < g_.elements.size(); ++i) {
        const Element& e = g_.elements[i];
        if (e.hasImageRecord()) {
            const Bitmap* b = m_.bitmap(e.bitmap);
            auto r = std::make_unique<hostapi::HostImageRecord>();
            r->host00 = 0;
            r->drawnWidth = b ? b->width * scale : 0;
            r->drawnHeight = b ? b->height * scale : 0;
            m_.write<uint32_t>(e.imageSlot(), uint32_t(uintptr_t(r.get())), e.label + " image record");
            records_.push_back(std::move(r));
        } else if (e.kind == hostapi::kString) {
            auto buf = std::make_unique<TextBuffer>();
            m_.write<uint32_t>(e.textSlot(), uint32_t(uintptr_t(buf->data())), e.label + " text buffer");
            textBuffers_[i] = std::move(buf);
        }
    }
    if (g_.elements.empty() || backgroundRecord() == 0 || !m_.bitmap(g_.elements[0].bitmap))
        warn("the background bitmap " + std::to_string(g_.elements.empty() ? 0 : g_.elements[0].bitmap) +
             " is missing");
}

void GaugeHost::releaseElements() {
    for (const Element& e : g_.elements)
        if (e.hasImageRecord()) m_.write<uint32_t>(e.imageSlot(), 0, e.label);
}

void GaugeHost::refreshElementVars(int from) {
    // The element and everything below it (drawing order is depth first).
    const int depth = g_.elements[from].depth;
    for (size_t i = size_t(from); i < g_.elements.size(); ++i) {
        if (int(i) != from && g_.elements[i].depth <= depth) break;
        const Element& e = g_.elements[i];
        for (const VarRef* v : {&e.var, &e.xVar}) {
            if (v->addr == 0) continue;
            auto rec = m_.read<hostapi::ModuleVar>(v->addr, e.label + " variable");
            if (rec.id == 0) continue;
            rec.value = sim.var(rec.id);
            m_.write(v->addr, rec, e.label + " variable");
        }
    }
}

// ---- lifecycle -------------------------------------------------------------------

void GaugeHost::start() {
    const std::string slot = "ImportTable +" +
                             hex(g_.servicesSlot() - g_.importTable);
    m_.write<uint32_t>(g_.servicesSlot(), uint32_t(uintptr_t(serviceTable())), slot);
    logLine(slot + " <- panel services");
    if (g_.moduleStart) call("module start routine", g_.moduleStart, {});
    if (g_.version == hostapi::kHeaderVersion610) {
        if (g_.routines[1]) call("installRoutine", g_.routines[1], {0});
        if (g_.routines[2]) call("initializeRoutine", g_.routines[2], {});
    } else {
        installElements();
        logLine("host installs " + std::to_string(g_.elements.size()) + " elements");
        if (g_.mouseListPtr) {
            mouseList_ = readMouseList(m_, g_.mouseListPtr);
            mouseListAddr_ = g_.mouseListPtr;
            mouseActive_ = true;
            logLine("host attaches the mouse list at " + m_.offset(g_.mouseListPtr) + " (" +
                    std::to_string(mouseList_.size()) + " entries)");
        }
        logLine("GaugeCallback(10)");
        call("GaugeCallback code 10", g_.callback, {g_.header, 10, 0});
    }
    started = true;
}

void GaugeHost::frame() {
    if (g_.version == hostapi::kHeaderVersion610) {
        if (g_.routines[3]) call("updateRoutine", g_.routines[3], {});
        if (g_.routines[4]) call("generateRoutine", g_.routines[4], {0});
        if (g_.routines[5]) call("drawRoutine", g_.routines[5], {});
    } else {
        logLine("GaugeCallback(6)");
        call("GaugeCallback code 6", g_.callback, {g_.header, 6, 0});
        refreshElementVars(0);
    }
}

void GaugeHost::stop() {
    if (!started) return;
    started = false;
    if (g_.version == hostapi::kHeaderVersion610) {
        if (g_.routines[6]) call("killRoutine", g_.routines[6], {});
    } else {
        mouseActive_ = false;
        releaseElements();
        logLine("host releases the mouse list and the elements");
    }
    if (g_.moduleStop) call("module stop routine", g_.moduleStop, {});
    if (mouseActive_) warn("the mouse list was still attached after killRoutine");
}

// ---- mouse -------------------------------------------------------------------------

bool GaugeHost::mouse(int32_t x, int32_t y, uint32_t event) {
    const std::string what = event == hostapi::kMouseClick ? "click" : "drag";
    const std::string at = what + " (" + std::to_string(x) + ", " + std::to_string(y) + ")";
    if (!mouseActive_) {
        logLine(at + ": no mouse list attached");
        return false;
    }
    // Rectangles are in gauge pixels; the point is in pixels as drawn.
    const int32_t gx = int32_t(std::floor(double(x) / scale)), gy = int32_t(std::floor(double(y) / scale));
    auto inside = [&](const MouseEntry& e) {
        return int64_t(gx) >= e.x && int64_t(gx) < int64_t(e.x) + e.w && int64_t(gy) >= e.y &&
               int64_t(gy) < int64_t(e.y) + e.h;
    };
    for (size_t i = 0; i < mouseList_.size(); ++i) {
        const MouseEntry& e = mouseList_[i];
        if (e.type != hostapi::kMouseChild || !(e.mask & event) || e.handler == 0 || !inside(e)) continue;
        // Every enclosing parent with an area must hold the point too; a
        // parent of zero size only groups its entries.
        bool ok = true;
        for (int p = e.parent; p >= 0; p = mouseList_[p].parent) {
            const MouseEntry& pe = mouseList_[p];
            if (pe.w != 0 && pe.h != 0 && !inside(pe)) ok = false;
        }
        if (!ok) continue;
        logLine(at + " hits mouse entry " + std::to_string(i + 1) + " (" + std::to_string(e.x) + ", " +
                std::to_string(e.y) + ", " + std::to_string(e.w) + ", " + std::to_string(e.h) + "), handler " +
                m_.offset(e.handler));
        const int32_t r = handleMouse(i, x, y, event);
        if (r != 0) logLine("handler returned " + std::to_string(r));
        return true;
    }
    logLine(at + " hits no rectangle");
    return false;
}

int32_t GaugeHost::handleMouse(size_t entry, int32_t x, int32_t y, uint32_t event) {
    const std::string what = "mouse handler of entry " + std::to_string(entry + 1);
    const uint32_t handler = mouseList_.at(entry).handler;
    const uint32_t point = mousePoint_.hand(x, y);
    pointHolder_.clear();   // the point is the handler's while it runs
    const std::string past = what + " wrote past the end of its " + std::to_string(sizeof(hostapi::MousePoint)) +
                             "-byte mouse point";
    CallResult r;
    try {
        r = call(what, handler, {point, event});
    } catch (const ModuleError& fault) {
        const FaultInfo& f = lastFault();
        const bool overran = !mousePoint_.guardIntact() || (f.addressKnown && mousePoint_.past(f.address));
        mousePoint_.seal();
        pointHolder_ = what;
        if (overran) throw ModuleError(past + ", and failed: " + fault.what());
        throw;
    }
    const bool overran = !mousePoint_.guardIntact();
    mousePoint_.seal();
    pointHolder_ = what;
    if (overran) throw ModuleError(past);
    return int32_t(r.eax);
}

// ---- values and drawing ------------------------------------------------------------

double GaugeHost::elementValue(size_t index) {
    const Element& e = g_.elements[index];
    if (e.routine) {
        const std::string what = e.label + " value routine";
        auto it = textBuffers_.find(index);
        const TextBuffer* text = it == textBuffers_.end() ? nullptr : it->second.get();
        double v = 0;
        try {
            v = call(what, e.routine, {e.addr}, true).st0;
        } catch (const ModuleError& fault) {
            // The guard bytes tell an overrun whatever exception the
            // platform delivered for the space behind them; so does the
            // access address where the platform gives one.
            if (text && moduleFaulted()) {
                const FaultInfo& f = lastFault();
                if (!text->guardIntact() || (f.addressKnown && text->past(f.address)))
                    throw ModuleError(what + " wrote past the end of its " + std::to_string(TextBuffer::kCapacity) +
                                    "-byte text buffer, and faulted: " + fault.what());
            }
            throw;
        }
        if (text && !text->guardIntact())
            throw ModuleError(what + " wrote past the end of its " + std::to_string(TextBuffer::kCapacity) +
                            "-byte text buffer");
        return v;
    }
    if (e.kind == hostapi::kSlider || e.var.addr == 0) return 0.0;
    return m_.read<hostapi::ModuleVar>(e.var.addr, e.label + " variable").value;
}

void GaugeHost::evaluate() { gatherInputs(); }

// Each element's flags, value and text, in drawing order: the value routines
// run here, as they would when the simulator draws (their results also in
// drawnValues).
DrawInputs GaugeHost::gatherInputs() {
    DrawInputs in;
    const size_t n = g_.elements.size();
    in.flags.resize(n);
    in.values.resize(n);
    in.xValues.resize(n);
    in.texts.resize(n);
    drawnValues.assign(n, std::nan(""));
    for (size_t i = 0; i < n; ++i) {
        const Element& e = g_.elements[i];
        // Bit 30 hides the element itself; its children are still drawn.
        in.flags[i] = m_.u32(e.flagsSlot(), e.label);
        const double v = elementValue(i);
        drawnValues[i] = v;
        if (in.flags[i] & hostapi::kImageFlagHidden) continue;
        double value = v, xValue = 0;
        if (e.kind == hostapi::kSlider) {
            xValue = e.xVar.id ? m_.read<hostapi::ModuleVar>(e.xVar.addr, e.label).value : 0.0;
            value = e.var.id ? m_.read<hostapi::ModuleVar>(e.var.addr, e.label).value : 0.0;
        }
        in.values[i] = value;
        in.xValues[i] = xValue;
        auto text = textBuffers_.find(i);
        if (text != textBuffers_.end()) in.texts[i] = text->second->text();
    }
    return in;
}

Picture GaugeHost::render(Picture c, const DrawInputs& in) {
    for (size_t i = 0; i < g_.elements.size(); ++i) {
        if (in.flags[i] & hostapi::kImageFlagHidden) continue;
        const Element& e = g_.elements[i];
        // Module code may have scribbled over host memory before this; the
        // watchdog covers the drawing too.
        watchBegin("drawing " + e.label);
        std::vector<std::string> problems;
        renderer_.draw(c, m_, e, i == 0, in.values[i], in.xValues[i], in.texts[i], problems);
        watchEnd();
        for (const std::string& p : problems) warn(p);
    }
    return scaled(c, scale);
}

Picture GaugeHost::draw() {
    Picture c = renderer_.begin(m_, g_);
    const DrawInputs in = gatherInputs();
    return render(std::move(c), in);
}

bool GaugeHost::drawIfChanged(DrawInputs& last, Picture& out) {
    Picture c = renderer_.begin(m_, g_);
    DrawInputs in = gatherInputs();
    if (in == last) return false;
    out = render(std::move(c), in);
    last = std::move(in);
    return true;
}

bool DrawInputs::operator==(const DrawInputs& o) const {
    // Values compare by their bits: a NaN that stays a NaN is no change.
    auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
        return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
    };
    return flags == o.flags && same(values, o.values) && same(xValues, o.xValues) && texts == o.texts;
}

}  // namespace gaugehost
