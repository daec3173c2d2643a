// gaugehost serve: the live panel in a browser. The serving process runs no
// module code: it owns the simulation (app.h), starts a worker per module
// file, and answers the page over HTTP (the routes in serve.cpp, on the
// HTTP layer of http_server.h).
#pragma once

#include "../cli.h"

namespace gaugehost {

// Serves until Ctrl-C (or the console closing); returns the exit status.
// Throws InputError for a panel or module that cannot be read, or an
// address that cannot be listened on.
int runServe(const Options& o);

}  // namespace gaugehost
