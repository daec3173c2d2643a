// The host's side of the panel services: the table whose address the host
// stores in the module's ImportTable, and the simulation model the services
// act on (variables, the key events of our gauges, the brake selector).
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace gaugehost {

// What the simulation did with a key event.
struct KeyEffect {
    enum class Kind {
        None,       // the simulation does not know the event
        Toggle,     // `var` toggled between 0 and 1: now `value`
        Set,        // `var` set to the event's parameter: now `value`
        Selector,   // the brake selector moved one position (`up` or down) from `from` to `to`
    };
    Kind kind = Kind::None;
    uint32_t var = 0;
    double value = 0;
    bool up = false;
    int from = 0, to = 0;
    bool changesVar() const { return kind == Kind::Toggle || kind == Kind::Set; }
};

struct KeyEvent {
    uint32_t id;
    int32_t param;
    KeyEffect effect;   // what the simulation did with it (None where it was reported, not applied)
};

// The texts of an effect, the one place they are written:
//   effectLog: as the host's log says it, "toggles: var 620 = 1",
//     "sets throttle: var 128 = 16384", "moves brake selector up: 1 -> 2";
//     empty for an event without effect;
//   keyEventText: a key event and its effect as serve shows them,
//     "66376 (0) → var 620 = 1", "66298 (0) → brake selector up: 1 → 2",
//     "65000 (3) → no effect in this host's simulation".
std::string effectLog(const KeyEffect& e);
std::string keyEventText(const KeyEvent& k);

class SimulationModel {
public:
    double var(uint32_t id) const;
    void setVar(uint32_t id, double v) { vars_[id] = v; }
    const std::map<uint32_t, double>& vars() const { return vars_; }
    int brakeSelector() const { return brakeSelector_; }

    // Applies a key event: what the simulation did with it.
    KeyEffect apply(uint32_t id, int32_t param);

private:
    std::map<uint32_t, double> vars_;   // 0 unless set
    int brakeSelector_ = 0;             // 0 to 5
};

// What the service table calls: one object at a time receives every call.
class ServiceSink {
public:
    virtual void service(unsigned slot, const uint32_t* args) = 0;

protected:
    ~ServiceSink() = default;
};

// The table of panel services (every slot the modules may reach, and more),
// each entry a __stdcall routine that removes its own arguments. A slot the
// host does not provide abandons the module call: its argument count is not
// known, so it cannot return safely.
void* serviceTable();
void setServiceSink(ServiceSink* sink);

// Arguments of a service the host provides, -1 for any other slot.
int serviceArgCount(unsigned slot);
const char* serviceName(unsigned slot);

// "%.10g" of a value, as the logs print it.
std::string number(double v);

}  // namespace gaugehost
