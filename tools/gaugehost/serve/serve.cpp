#include "serve.h"

#include <windows.h>

#include <cstdio>
#include <memory>

#include "../supervisor.h"
#include "app.h"
#include "hostcore/errors.h"
#include "http_server.h"
#include "render_panel.h"

namespace gaugehost {

namespace {

using protocol::json;

// The routes' refusal, from the application's.
template <typename F> auto refused(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const BadRequest& e) {
        throw http::Refusal(e.status, e.what());
    }
}

// A change's body: a JSON object, or a 400 with the reason.
json bodyOf(const http::Request& r) {
    json body;
    try {
        body = json::parse(r.body);
    } catch (const json::out_of_range&) {
        // A number beyond any double (a 400-digit integer, 1e999).
        throw http::Refusal(400, "a number in the body is too large");
    } catch (const json::exception&) {
        throw http::Refusal(400, "the body is not JSON");
    }
    if (!body.is_object()) throw http::Refusal(400, "the body must be a JSON object");
    return body;
}

std::string text(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

HANDLE gStop = nullptr, gDone = nullptr;

}  // namespace

int runServe(const Options& o) {
    PanelView view;
    std::unique_ptr<PanelEditor> editor;   // the panel file's, when one is served
    if (!o.modules.empty()) {
        view = modulesView(o.modules);
    } else {
        const std::string path = o.panel.empty() ? defaultFolders().panel : o.panel;
        if (path.empty()) throw InputError("no --panel given, and no example panel beside the program");
        PanelOptions options;
        options.gaugeFolders = gaugeFolders(o);
        editor = std::make_unique<PanelEditor>(path, options);
        Layout first = editor->initial();
        view = std::move(first.view);
        for (const PanelWindow& w : view.windows)
            if (!w.problem.empty()) view.notes.push_back("gaugehost: error: " + w.problem + " (the window is not drawn)");
    }
    for (const std::string& n : view.notes) std::fprintf(stderr, "%s\n", n.c_str());

    http::HttpServer server;
    http::StreamSet pages;
    ServeSettings settings;
    settings.rate = o.rate;
    settings.timeout = o.timeout;
    settings.echo = say;
    settings.broadcast = [&pages](const std::string& event, const std::string& key) { pages.broadcast(event, key); };
    PanelApp app(std::move(view), settings, editor ? editor->state() : json(nullptr));
    if (editor) editor->onChange([&app](const Layout& l) { app.setLayout(l); });

    http::serveWebFiles(server);
    server.get("/api/state", [&](const http::Request&) { return http::Response::json(text(app.state())); });
    server.get(
        "/api/background.png",
        [&](const http::Request& r) {
            return refused([&] { return http::Response::bytes("image/png", app.background(r.param("window"))); });
        },
        {"window", "v"});   // v: the page's version of the windows, for its cache
    server.get(
        "/api/picture",
        [&](const http::Request& r) {
            return refused([&] {
                int64_t seq = 0;
                return http::Response::bytes("image/png", app.picture(r.param("gauge"), r.param("module"), seq));
            });
        },
        {"gauge", "module", "seq"});
    server.get(
        "/api/sound",
        [&](const http::Request& r) {
            return refused([&] {
                const std::string* id = r.param("id");
                if (!id) throw BadRequest(400, "which sound? ?id=N");
                return http::Response::bytes("audio/wav", app.sound(*id));
            });
        },
        {"id"});
    server.post("/api/var", [&](const http::Request& r) {
        return refused([&] { return http::Response::json(text(app.setVar(bodyOf(r)))); });
    });
    server.post("/api/mouse", [&](const http::Request& r) {
        return refused([&] { return http::Response::json(text(app.mouse(bodyOf(r)))); });
    });
    // The editor: edits, saves, the palette of modules to add from.
    auto editable = [&]() -> PanelEditor& {
        if (!editor) throw http::Refusal(409, "modules named on the command line make no panel file to edit");
        return *editor;
    };
    server.post("/api/edit", [&](const http::Request& r) {
        return refused([&] { return http::Response::json(text(editable().edit(bodyOf(r)))); });
    });
    server.post("/api/save", [&](const http::Request& r) {
        return refused([&] { return http::Response::json(text(editable().save(bodyOf(r)))); });
    });
    server.get("/api/palette", [&](const http::Request&) {
        return refused([&] { return http::Response::json(text(app.palette(editable().folders()))); });
    });
    http::EventRoute events;
    events.onOpen = [&](const std::shared_ptr<http::EventStream>& s, const http::Request&) {
        app.pageOpened([&](const std::vector<std::pair<std::string, std::string>>& first) {
            for (const auto& [event, key] : first) s->push(event, key);
            pages.add(s);
        });
    };
    events.onClose = [&](http::EventStream& s) { app.pageClosed([&] { pages.remove(s); }); };
    server.events("/api/events", std::move(events));

    try {
        server.start(o.host, uint16_t(o.port));
    } catch (const std::exception& e) {
        throw InputError("cannot listen on " + o.host + " port " + std::to_string(o.port) + ": " + e.what());
    }
    // Ctrl-C, Ctrl-Break or the console closing end the server in order:
    // pages, workers, the copies the modules ran from.
    gStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    gDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    onConsoleEnd([] {
        SetEvent(gStop);
        WaitForSingleObject(gDone, 8000);
    });
    app.start();
    say("gaugehost serve: " + server.url() + "  (" + std::to_string(app.gaugeCount()) + " gauges from " +
        app.source() + "; Ctrl-C ends)");
    WaitForSingleObject(gStop, INFINITE);
    say("gaugehost serve: ending");
    server.stop();
    app.stop();
    SetEvent(gDone);
    return kExitOk;
}

}  // namespace gaugehost
