// The host's side of the panel services: the table whose address the host
// stores in the module's ImportTable, and the simulation model the services
// act on (variables, the key events of our gauges, the brake selector).
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace gaugehost {

struct KeyEvent {
    uint32_t id;
    int32_t param;
    std::string effect;   // what the simulation did with it, as SimulationModel::apply says
};

class SimulationModel {
public:
    double var(uint32_t id) const;
    void setVar(uint32_t id, double v) { vars_[id] = v; }
    const std::map<uint32_t, double>& vars() const { return vars_; }
    int brakeSelector() const { return brakeSelector_; }

    // Applies a key event the simulation knows and says what it did
    // ("toggles: var 620 = 1"); empty when the event has no effect here.
    std::string apply(const KeyEvent& k);

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
