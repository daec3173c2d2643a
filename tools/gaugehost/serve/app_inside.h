// The serve application's inside (app.h), shared by its two files:
// app.cpp (the modules: loading, reloading, what their workers tell) and
// app_pages.cpp (what pages see and ask: controls, events, changes,
// pictures, sounds, the editor).
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "app.h"
#include "../numbers.h"

namespace gaugehost {

namespace app_inside {

using protocol::json;

constexpr size_t kLogLines = 300;
constexpr size_t kSoundsKept = 32;
constexpr uint32_t kMaxId = 0xFFFFFFFFu;

inline std::string dumped(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

// What identifies a file's contents cheaply: written time, size, identity.
struct Signature {
    FILETIME written{};
    uint64_t size = 0, index = 0;
    bool operator==(const Signature& o) const {
        return CompareFileTime(&written, &o.written) == 0 && size == o.size && index == o.index;
    }
};

// A value from a page: a JSON number, or text in the number grammar (nan,
// inf, -inf included).
inline std::optional<double> valueOfRequest(const json& v) {
    if (v.is_number()) return v.get<double>();
    if (v.is_string()) return readValue(v.get_ref<const std::string&>());
    return std::nullopt;
}

}  // namespace app_inside

using namespace app_inside;

// One request's turn in a worker, and what came of it.
struct PanelApp::Turn {
    bool user = false;      // asked for by a page (or a load): its key events' changes draw at once
    bool mouse = false;     // a mouse event: the gauge draws afterwards in any case
    bool waited = false;    // a page waits for it: kept until taken
    bool over = false;
    bool hit = false;
    std::vector<std::string> keys;       // the key events, as the log shows them
    std::optional<std::string> error;
    std::set<uint32_t> changed;          // variables its key events changed
    std::vector<std::pair<std::shared_ptr<WorkerClient>, int64_t>> followUps;   // the frames it caused
};

struct PanelApp::Module {
    std::string id, path, file, name;
    std::shared_ptr<WorkerClient> worker;
    std::string state = "loading", error;
    Fault errorKind = Fault::Host;
    struct {
        bool known = false;
        std::string name;
        int version = 0, width = 0, height = 0;
        bool mouse = false;
    } gauge;
    json variables = json::array();      // the worker's list
    std::set<uint32_t> reads;
    std::string png;
    int pictureWidth = 0, pictureHeight = 0;
    int64_t seq = 0;
    uint64_t frames = 0;
    int loads = 0;
    std::optional<Signature> signature, pending;   // the file as loaded; a change seen once
    std::wstring copy;                   // the folder of the copy that runs
    std::string copyPath;                // the copy's path, as the worker names it
    std::map<int64_t, Turn> turns;
    Turn tick;                           // what frames at the rate did since their last turn ended
    std::mutex loadLock;                 // one load at a time
    std::thread loader;
    std::atomic<bool> loading{false};
    bool used = false;                   // a gauge of the panel is drawn by it (else a palette's module)
    bool wantLoad = false;               // to be loaded by the watcher

    bool running() const { return state == "running" && worker && worker->alive(); }
    // A worker's text with the module's own path where it names the copy
    // that runs.
    std::string named(const std::string& text) const {
        std::string out = text;
        for (size_t at = 0; !copyPath.empty() && (at = out.find(copyPath, at)) != std::string::npos; at += path.size())
            out.replace(at, copyPath.size(), path);
        return out;
    }
};


}  // namespace gaugehost
