#include "errors.h"

namespace gaugehost {

const char* faultName(Fault f) {
    switch (f) {
        case Fault::Input: return "input";
        case Fault::Module: return "module";
        case Fault::Host: return "host";
    }
    return "host";
}

int exitStatus(Fault f) {
    switch (f) {
        case Fault::Input: return kExitInput;
        case Fault::Module: return kExitModule;
        case Fault::Host: return kExitFault;
    }
    return kExitFault;
}

}  // namespace gaugehost
