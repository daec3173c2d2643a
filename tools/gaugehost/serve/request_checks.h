// What the routes' JSON bodies are checked with (app.cpp, panel_editor.cpp):
// a value quoted for a one-line reason, and no field but those named.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "http_policy.h"
#include "protocol.h"

namespace gaugehost {

// A JSON value as a reason quotes it, cut short.
inline std::string shown(const protocol::json& j) {
    std::string s = j.dump(-1, ' ', false, protocol::json::error_handler_t::replace);
    return s.size() > 80 ? s.substr(0, 77) + "..." : s;
}

// Refuses (400) a body with a field not among `fields`, naming the first
// such field in sorted order.
inline void onlyFields(const protocol::json& body, std::initializer_list<const char*> fields) {
    std::vector<std::string> unknown;
    for (auto it = body.begin(); it != body.end(); ++it)
        if (std::none_of(fields.begin(), fields.end(), [&](const char* f) { return it.key() == f; }))
            unknown.push_back(it.key());
    if (unknown.empty()) return;
    std::sort(unknown.begin(), unknown.end());
    throw http::Refusal(400, "unknown field " + shown(unknown[0]));
}

}  // namespace gaugehost
