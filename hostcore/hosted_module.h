// A gauge module loaded as the simulator loads it and hosted: the one way
// every command, the checker and serve's workers bring a module up.
//
//   HostedModule m(path, {.scale = 2});
//   GaugeHost& h = m.host();   // the panel host, with the simulator's surroundings the module needs
//   h.start(); h.frame(); Picture p = h.draw(); h.stop();
//
// Loading installs the guards for the module (faults in its code become
// errors naming the call, a call that does not return ends the process
// with a message) and reads its records: a malformed module ends in a
// ModuleError naming the record, a file that is not there in an InputError.
#pragma once

#include <memory>
#include <string>

#include "gauge_host.h"
#include "module_image.h"
#include "records.h"
#include "simenv.h"

namespace gaugehost {

class HostedModule {
public:
    struct Options {
        bool runEntryPoint = true;   // false: only mapped; no code of it runs, and it cannot be hosted
        bool readRecords = true;     // false: the gauge's records are not read (gauge() names only the
                                     // path), for a look at the file alone; it cannot be hosted
        int scale = 1;               // the host's drawing scale
        bool log = false;            // every service call and effect printed (or handed to the host's logSink)
    };

    HostedModule(const std::string& path, const Options& options);
    explicit HostedModule(const std::string& path) : HostedModule(path, Options()) {}
    // Lets the host go (without calling the module: stop it first) and
    // unloads the module, its detach code under the watchdog.
    ~HostedModule();
    HostedModule(const HostedModule&) = delete;
    HostedModule& operator=(const HostedModule&) = delete;

    ModuleImage& image() { return *image_; }
    const ModuleImage& image() const { return *image_; }
    Gauge& gauge() { return gauge_; }
    const Gauge& gauge() const { return gauge_; }
    const std::string& path() const { return gauge_.path; }

    // The panel host around the gauge, made on first use: the simulator's
    // surroundings the module needs (a stand-in for a module that imports
    // DirectSound, its sound routed through the host) come with it.
    GaugeHost& host();
    bool hosted() const { return host_ != nullptr; }
    // A fresh host for the next lifecycle in the same load (the checks run
    // several); the old one goes without calling the module.
    GaugeHost& rehost();

private:
    Options options_;
    std::unique_ptr<ModuleImage> image_;
    Gauge gauge_;
    std::shared_ptr<SimulatorStandIn> standIn_;
    std::unique_ptr<GaugeHost> host_;
};

// Sets the limit, in seconds, on any one call into module code (and on the
// loader running a module's entry point) from now on.
void setCallTimeout(unsigned seconds);

}  // namespace gaugehost
