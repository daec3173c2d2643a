// The page files of gaugehost serve, carried as RCDATA resources of the
// program (gaugehost.rc) and served from there.
#include <windows.h>

#include <stdexcept>
#include <string>

#include "http_server.h"

namespace gaugehost::http {

std::string_view webResource(std::string_view name) {
    const std::string n(name);
    HRSRC found = FindResourceA(nullptr, n.c_str(), MAKEINTRESOURCEA(10));   // RT_RCDATA
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) throw std::runtime_error("the program carries no page file " + quoted(name));
    // A module's resources stay mapped while it is loaded: for the program, always.
    return {static_cast<const char*>(bytes), SizeofResource(nullptr, found)};
}

void serveWebFiles(HttpServer& server) {
    static const struct {
        const char* path;
        const char* name;
        const char* type;
    } files[] = {
        {"/", "index.html", "text/html; charset=utf-8"},
        {"/app.js", "app.js", "text/javascript; charset=utf-8"},
        {"/editor.js", "editor.js", "text/javascript; charset=utf-8"},
        {"/style.css", "style.css", "text/css; charset=utf-8"},
    };
    for (const auto& f : files)
        server.get(f.path, [&f](const Request&) { return Response::bytes(f.type, std::string(webResource(f.name))); });
}

}  // namespace gaugehost::http
