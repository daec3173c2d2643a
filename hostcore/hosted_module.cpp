#include "hosted_module.h"

#include "guard.h"

namespace gaugehost {

void setCallTimeout(unsigned seconds) { installGuards(nullptr, seconds); }

HostedModule::HostedModule(const std::string& path, const Options& options) : options_(options) {
    installGuards(nullptr, 0);
    image_ = std::make_unique<ModuleImage>(path, options.runEntryPoint);
    installGuards(image_.get(), 0);
    if (!options.readRecords) {
        gauge_.path = path;
        return;
    }
    gauge_ = readGauge(*image_, path);
    readElements(*image_, gauge_);
}

HostedModule::~HostedModule() {
    host_.reset();
    image_.reset();
    installGuards(nullptr, 0);
}

GaugeHost& HostedModule::host() {
    if (host_) return *host_;
    if (!options_.runEntryPoint) throw HostFault("a module that is only mapped cannot be hosted");
    if (!options_.readRecords) throw HostFault("a module whose records were not read cannot be hosted");
    if (SimulatorStandIn::wanted(gauge_)) standIn_ = SimulatorStandIn::shared(options_.log);
    host_ = std::make_unique<GaugeHost>(*image_, gauge_, options_.scale, options_.log);
    if (standIn_) {
        GaugeHost* h = host_.get();
        standIn_->watchSound(*image_, [h](const std::string& s) { h->logLine(s); });
    }
    return *host_;
}

GaugeHost& HostedModule::rehost() {
    host_.reset();
    return host();
}

}  // namespace gaugehost
