#include "protocol.h"

#include <cmath>
#include <limits>

namespace gaugehost::protocol {

json wireValue(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    return v;
}

std::optional<double> valueOfWire(const json& j) {
    if (j.is_number()) return j.get<double>();
    if (j.is_string()) {
        const std::string& s = j.get_ref<const std::string&>();
        if (s == "nan") return std::numeric_limits<double>::quiet_NaN();
        if (s == "inf") return std::numeric_limits<double>::infinity();
        if (s == "-inf") return -std::numeric_limits<double>::infinity();
    }
    return std::nullopt;
}

json wirePairs(const Values& values) {
    json out = json::array();
    for (const auto& [id, v] : values) out.push_back(json::array({id, wireValue(v)}));
    return out;
}

Values pairsOfWire(const json& j) {
    if (!j.is_array()) throw std::invalid_argument("\"vars\" must be a list of [ID, VALUE] pairs");
    Values out;
    for (const json& p : j) {
        if (!p.is_array() || p.size() != 2 || !p[0].is_number_integer())
            throw std::invalid_argument("\"vars\" must be a list of [ID, VALUE] pairs");
        const bool negative = p[0].is_number_integer() && !p[0].is_number_unsigned() && p[0].get<int64_t>() < 0;
        if (negative || p[0].get<uint64_t>() > 0xFFFFFFFFull)
            throw std::invalid_argument("variable id " + p[0].dump() + " lies outside 0 to 4294967295");
        const std::optional<double> v = valueOfWire(p[1]);
        if (!v) throw std::invalid_argument("variable " + p[0].dump() + ": " + p[1].dump() + " is not a value");
        out.emplace_back(uint32_t(p[0].get<uint64_t>()), *v);
    }
    return out;
}

std::string frame(const json& record, std::string_view payload) {
    std::string out = record.dump(-1, ' ', false, json::error_handler_t::replace);
    out += '\n';
    out.append(payload);
    return out;
}

std::string requestLine(const json& request) { return frame(request); }

std::string Record::type() const {
    auto it = head.find("type");
    return it != head.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int64_t Record::seq() const {
    auto it = head.find("seq");
    return it != head.end() && it->is_number_integer() ? it->get<int64_t>() : -1;
}

void RecordReader::feed(const char* data, size_t size, std::vector<Record>& out) {
    buffer_.append(data, size);
    size_t at = 0;
    for (;;) {
        if (pending_) {
            const size_t take = std::min(need_, buffer_.size() - at);
            pending_->payload.append(buffer_, at, take);
            at += take;
            need_ -= take;
            if (need_) break;
            out.push_back(std::move(*pending_));
            pending_.reset();
            continue;
        }
        const size_t end = buffer_.find('\n', at);
        if (end == std::string::npos) {
            if (buffer_.size() - at > kMaxLine) throw ProtocolError("a record line longer than 1 MiB");
            break;
        }
        Record r;
        r.line.assign(buffer_, at, end - at);
        at = end + 1;
        try {
            r.head = json::parse(r.line);
        } catch (const json::exception&) {
            throw ProtocolError("a record that is not JSON: " + r.line.substr(0, 120));
        }
        if (!r.head.is_object() || r.type().empty() || r.seq() < 0)
            throw ProtocolError("a record without \"type\" and \"seq\": " + r.line.substr(0, 120));
        auto bytes = r.head.find("bytes");
        if (bytes == r.head.end()) {
            out.push_back(std::move(r));
            continue;
        }
        if (!bytes->is_number_unsigned() || bytes->get<uint64_t>() > kMaxPayload)
            throw ProtocolError("a record's \"bytes\" is not a payload size: " + r.line.substr(0, 120));
        need_ = size_t(bytes->get<uint64_t>());
        pending_ = std::move(r);
        pending_->payload.reserve(need_);
    }
    buffer_.erase(0, at);
}

}  // namespace gaugehost::protocol
