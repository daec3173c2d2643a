// The live panel's application: the one owner of the simulation and of
// every served module's state. Each module file runs in a worker of its own
// (worker_client.h); the application holds every variable, applies the key
// events the workers report (hostcore's SimulationModel, the brake selector
// included) and sends changed values to every worker whose gauge reads
// them. It runs the gauges at the gauge rate while a page watches, keeps
// the latest picture of each, reloads a module whose file changed once the
// file has settled (from a fresh copy, the variables kept), and isolates
// faults: a module that faults, hangs or is malformed shows its error in
// place of its picture until a rebuild loads it again.
//
// The HTTP routes (routes.cpp) call it from their connection threads; what
// the pages should hear goes out through `broadcast`.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "hostcore/services.h"
#include "panel_editor.h"
#include "panel_view.h"
#include "protocol.h"
#include "worker_client.h"

namespace gaugehost {

// A request the application refuses: the HTTP status and a one-line reason.
struct BadRequest : std::runtime_error {
    BadRequest(int status, const std::string& reason) : std::runtime_error(reason), status(status) {}
    int status;
};

struct ServeSettings {
    double rate = 18;          // frames a second while a page watches
    unsigned timeout = 10;     // seconds one module call may take
    // What the terminal should see: reloads, errors, warnings.
    std::function<void(const std::string&)> echo;
    // Sends an event (a JSON text) to every open page; events with a key
    // replace a waiting one of the same key.
    std::function<void(const std::string& json, const std::string& key)> broadcast;
};

class PanelApp {
public:
    // `editor`: the state of the panel file's editor, or null for a panel
    // that cannot be edited (modules named on the command line).
    PanelApp(PanelView panel, ServeSettings settings, protocol::json editor = nullptr);
    ~PanelApp();
    PanelApp(const PanelApp&) = delete;
    PanelApp& operator=(const PanelApp&) = delete;

    size_t gaugeCount() const;
    // The panel file, or "the modules given".
    std::string source() const;

    // Starts loading every module and watching their files.
    void start();
    // Ends every worker and thread and removes the copies. Idempotent.
    void stop();

    // ---- what the routes ask --------------------------------------------------------
    // A page opens its event stream: `add` receives its first events (the
    // greeting, each module's latest picture), as (JSON, key) pairs, under
    // the application's lock, so that no broadcast falls between them and
    // the stream's place among the pages. The gauges run at the rate while
    // any page watches.
    void pageOpened(const std::function<void(const std::vector<std::pair<std::string, std::string>>&)>& add);
    // A page went away: `remove` runs under the lock.
    void pageClosed(const std::function<void()>& remove);

    protocol::json state();
    // POST /api/var and /api/mouse: the answer, or BadRequest.
    protocol::json setVar(const protocol::json& body);
    protocol::json mouse(const protocol::json& body);
    // A module's latest PNG picture, by gauge id or module id; its seq.
    std::string picture(const std::string* gauge, const std::string* module, int64_t& seq);
    // A window's background as PNG, by number (the first window's without
    // one; BadRequest 404 for a panel of modules).
    std::string background(const std::string* window);

    // ---- the editor -------------------------------------------------------------------
    // A new layout: the gauges (and windows) after an edit. Modules new to
    // the panel start loading; the pages get a `layout` event.
    void setLayout(const Layout& layout);
    // GET /api/palette: every module in `folders` with its gauge's name and
    // size; modules not served yet are loaded once to learn them (their
    // `module` events tell the pages when they are known).
    protocol::json palette(const std::vector<std::string>& folders);
    // A sound a module played, as a WAV file.
    std::string sound(const std::string& id);

private:
    struct Module;
    struct Turn;

    void load(Module& m, const std::string& reason);
    std::shared_ptr<WorkerClient> loaded(Module& m, const std::shared_ptr<WorkerClient>& worker, int64_t seq, bool over,
                                         const std::wstring& folder, const std::string& reason, uint64_t version);
    void watch();
    void onRecord(Module& m, const WorkerClient* from, const protocol::Record& r);
    void onEnded(Module& m, const WorkerClient* from, const WorkerEnd& end);
    void endTurn(Module& m, int64_t seq);
    void fail(Module& m, Fault kind, const std::string& text);
    void note(const Module* m, const std::string& text, const std::string& kind);
    void send(Module& m, protocol::json request, bool user, bool waited, int64_t* seq = nullptr);
    void setRunning(bool on);
    void variablesChanged();
    void broadcast(const protocol::json& event, const std::string& key = "");
    protocol::json moduleInfo(const Module& m) const;
    protocol::json pictureEvent(const Module& m) const;
    protocol::json placements() const;
    protocol::json windowsInfo() const;
    protocol::json modulesInfo() const;
    void place(const std::vector<PlacedGauge>& gauges);
    Module& moduleFor(const std::string& path);
    void wakeWatcher();
    protocol::json wireValues() const;
    Module& placedModule(const protocol::json& gauge, std::string& key);
    void waitFollowUps(const std::vector<std::pair<std::shared_ptr<WorkerClient>, int64_t>>& turns);
    std::string hello();
    std::chrono::milliseconds turnLimit() const;

    // A gauge of the panel and the module that draws it (none: a placeholder).
    struct Placed {
        PlacedGauge gauge;
        Module* module = nullptr;
        std::string problem() const;   // why it is a placeholder, or ""
    };

    PanelView panel_;                              // its windows and the gauges' layout
    const ServeSettings settings_;
    std::wstring scratch_;                         // the copies the modules run from
    std::map<int, std::string> backgrounds_;       // each window's background as PNG, by number
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Module>> modules_;            // by path, in the order first needed
    std::vector<Placed> placed_;
    protocol::json editor_;                        // the editor's state, or null
    bool started_ = false;
    SimulationModel sim_;                          // every variable and the brake selector
    uint64_t valuesVersion_ = 0;                   // changes with every value set
    protocol::json varList_ = protocol::json::array();        // the controls
    std::set<uint32_t> known_;                     // the ids a served gauge reads
    std::deque<protocol::json> log_;
    struct Sound {
        uint64_t id;
        uint16_t format, channels, bits;
        uint32_t rate;
        std::string samples;
    };
    std::deque<Sound> sounds_;
    uint64_t soundIds_ = 0;
    int viewers_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread watcher_;
    std::mutex watchLock_;
    std::condition_variable watchWake_;
    bool woken_ = false;                           // under watchLock_: a module waits to be loaded
};

}  // namespace gaugehost
