// The served panel file as the live page edits it (POST /api/edit and
// /api/save): every edit goes through the panel library (panel_file.h),
// which changes only the lines it must, so that a save writes back every
// byte that was not edited. The editor keeps each version of the file for
// undo and redo, and the bytes read from disk, so that a save refuses to
// overwrite a file that changed on disk after it was loaded.
//
// Requests are JSON objects, every field checked (http::Refusal 400 with a
// one-line reason); an edit the library refuses, or one made against an
// older version than the page's, is a 409. After each change the editor
// hands the new layout to `publish`, under its own lock, so that layouts
// reach the pages in the order they were made.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "panel_view.h"
#include "protocol.h"

namespace gaugehost {

// What the pages are told after a change: the gauges (and, after the file
// was read again, the windows) with the editor's state.
struct Layout {
    PanelView view;               // windows filled only when `windowsChanged`
    bool windowsChanged = false;
    protocol::json editor;        // state(): version, undo, redo, dirty ...
};

class PanelEditor {
public:
    // Reads the panel file (InputError for one that cannot be read or
    // drawn: serve does not start).
    PanelEditor(std::string path, PanelOptions options);

    // The layout as read, for the application's start.
    Layout initial() const;
    // Where layouts go after a change (under the editor's lock).
    void onChange(std::function<void(const Layout&)> publish) { publish_ = std::move(publish); }
    // The folders modules are looked for in (the palette's).
    std::vector<std::string> folders() const;

    // {"file", "encoding", "version", "undo", "redo", "dirty", "saved"}.
    protocol::json state() const;

    // POST /api/edit: one edit, or undo, redo or revert (see README); the
    // answer holds the new version and, for place, add and order, the
    // gauge's id after the edit.
    protocol::json edit(const protocol::json& body);
    // POST /api/save: writes the current version to the panel file, after
    // a copy of what the file held to FILE.bak, each written whole.
    protocol::json save(const protocol::json& body);

private:
    protocol::json stateLocked() const;
    Layout layoutLocked(bool windowsChanged) const;
    void checkVersion(const protocol::json& body) const;
    const panel::Gauge* gaugeOf(const protocol::json& id, int& window) const;
    void commit(panel::PanelFile next);

    const std::string path_;
    const PanelOptions options_;
    mutable std::mutex mutex_;
    std::string disk_;                       // the file's bytes as read or last written
    std::vector<panel::PanelFile> undo_, redo_;
    std::unique_ptr<panel::PanelFile> file_; // the current version
    std::vector<PanelWindow> windows_;       // as read
    std::vector<std::string> notes_;
    long long version_ = 0;                  // one more with every change
    long long saves_ = 0;
    std::function<void(const Layout&)> publish_;
};

}  // namespace gaugehost
