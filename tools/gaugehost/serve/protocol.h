// The worker protocol's wire forms, shared by the worker (worker.cpp) and
// the server's side of it (worker_client.cpp). What each request and record
// holds is documented, field by field, in docs/worker-protocol.md, and the
// tests hold both sides to that document.
//
// Requests: one JSON object a line. Records: one JSON object a line, a
// record with a "bytes" field followed at once by that many bytes of payload.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace gaugehost::protocol {

using nlohmann::json;

// A value as JSON carries it: a number, or "nan", "inf", "-inf".
json wireValue(double v);
// The value of a JSON number or of one of those strings; nothing for
// anything else.
std::optional<double> valueOfWire(const json& j);

using Values = std::vector<std::pair<uint32_t, double>>;
// [[ID, VALUE], ...]
json wirePairs(const Values& values);
// The pairs of a "vars" field; throws std::invalid_argument naming what is wrong.
Values pairsOfWire(const json& j);

// A record's line (and payload) as bytes on the wire; the "bytes" field is
// the caller's to set when there is a payload.
std::string frame(const json& record, std::string_view payload = {});
// A request's line.
std::string requestLine(const json& request);

// The longest record line and payload a reader accepts.
inline constexpr size_t kMaxLine = 1 << 20;
inline constexpr size_t kMaxPayload = 64 << 20;

struct ProtocolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Record {
    json head;
    std::string payload;
    std::string line;   // the head as it came, for traces
    std::string type() const;
    int64_t seq() const;
};

// Splits a byte stream into records.
class RecordReader {
public:
    // Takes more bytes; appends the records they complete to `out`. Throws
    // ProtocolError on a line that is not a JSON object with a "type" and a
    // "seq", or that is too long, or on a payload too large.
    void feed(const char* data, size_t size, std::vector<Record>& out);
    // Whether bytes of an unfinished record wait.
    bool partial() const { return !buffer_.empty() || pending_.has_value(); }

private:
    std::string buffer_;
    std::optional<Record> pending_;   // a record whose payload is still coming
    size_t need_ = 0;
};

}  // namespace gaugehost::protocol
