// The worker behind gaugehost serve: `gaugehost session`, a long-lived host
// of one module at a time, driven through the worker protocol
// (docs/worker-protocol.md): requests on standard input, records on
// standard output.
#pragma once

namespace gaugehost {

// Runs the worker until its input ends or a "quit"; returns the exit
// status. `timeout` is the limit, in seconds, on any one call into the
// module.
int runWorker(unsigned timeout);

}  // namespace gaugehost
