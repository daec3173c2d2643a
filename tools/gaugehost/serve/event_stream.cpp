// Event streams: each page's queue of events (keyed ones coalesced, the
// latest of each key waiting), and the set of open pages a broadcast reaches.
#include <algorithm>
#include <mutex>

#include "http_server.h"

namespace gaugehost::http {

EventStream::Frame EventStream::frame(std::string_view json) {
    std::string f;
    f.reserve(json.size() + 8);
    f += "data: ";
    // A line break inside the text starts another data line of the event.
    for (;;) {
        const std::size_t br = json.find_first_of("\r\n");
        f.append(json.substr(0, br));
        if (br == std::string_view::npos) break;
        const std::size_t skip = json.compare(br, 2, "\r\n") == 0 ? 2 : 1;
        f += "\ndata: ";
        json.remove_prefix(br + skip);
    }
    f += "\n\n";
    return std::make_shared<const std::string>(std::move(f));
}

bool EventStream::push(std::string_view json, std::string_view key) { return pushFrame(frame(json), key); }

bool EventStream::pushFrame(Frame f, std::string_view key) {
    std::lock_guard lock(mutex_);
    if (ended_) return false;
    if (key.empty()) {
        events_.push_back(std::move(f));
    } else {
        const auto same = std::find_if(keyed_.begin(), keyed_.end(), [&](const auto& e) { return e.first == key; });
        if (same != keyed_.end()) keyed_.erase(same);
        keyed_.emplace_back(std::string(key), std::move(f));
    }
    if (events_.size() + keyed_.size() > limit_) {
        // The page stopped reading: it is dropped.
        ended_ = true;
        events_.clear();
        keyed_.clear();
        ready_.notify_all();
        return false;
    }
    ready_.notify_one();
    return true;
}

bool EventStream::ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

bool EventStream::take(std::string& out, std::chrono::milliseconds wait) {
    std::deque<Frame> events;
    std::vector<std::pair<std::string, Frame>> keyed;
    {
        std::unique_lock lock(mutex_);
        if (!ended_ && events_.empty() && keyed_.empty()) ready_.wait_for(lock, wait);
        if (ended_) return false;
        events.swap(events_);
        keyed.swap(keyed_);
    }
    for (const Frame& f : events) out += *f;
    for (const auto& k : keyed) out += *k.second;
    return true;
}

void EventStream::end() {
    std::lock_guard lock(mutex_);
    ended_ = true;
    events_.clear();
    keyed_.clear();
    ready_.notify_all();
}

void StreamSet::add(std::shared_ptr<EventStream> s) {
    std::lock_guard lock(mutex_);
    streams_.push_back(std::move(s));
}

void StreamSet::remove(const EventStream& s) {
    std::lock_guard lock(mutex_);
    std::erase_if(streams_, [&](const auto& p) { return p.get() == &s; });
}

std::size_t StreamSet::size() const {
    std::lock_guard lock(mutex_);
    return streams_.size();
}

void StreamSet::broadcast(std::string_view json, std::string_view key) {
    const EventStream::Frame f = EventStream::frame(json);
    std::lock_guard lock(mutex_);
    for (const auto& s : streams_) s->pushFrame(f, key);
}

}  // namespace gaugehost::http
