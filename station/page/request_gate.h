// The page server's front door, written here because the HTTP library gives
// every connection a thread of its own until its request is read, and reads
// a request's body before any handler can refuse it: 64 clients that send a
// header line every 2 s held every thread, and a 3 GB body the memory.
//
// The gate takes every connection first and reads each request whole
// against one deadline, at most a few at once per client address, refuses
// at once what its check refuses (before a byte of a body is read) and a
// body beyond its limit, and only then passes the request, whole, to the
// library's server on a socket of this process alone; the answer comes back
// as it is sent (an event stream for as long as it lasts). One request per
// connection.
#ifndef KORVASTATION_REQUEST_GATE_H
#define KORVASTATION_REQUEST_GATE_H

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/support/result.h"

namespace korvastation {

// A request's head as the gate read it.
struct RequestHead {
    std::string method, target;
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string peer;  // the client's address
    // The value of a header (name in lower case); empty when absent.
    std::string header(const std::string& name) const;
};

// What the gate's check says of a request: status 0 lets it in.
struct GateAnswer {
    int status = 0;
    std::string text;
};

class RequestGate {
public:
    struct Limits {
        size_t head_bytes = 8192;
        size_t body_bytes = 4096;
        std::chrono::milliseconds deadline{5000};  // to read a whole request
        int per_address = 8;                       // connections still sending their request
        int connections = 160;
        size_t buffered = 64 * 1024;               // of an answer, per connection
    };
    using Check = std::function<GateAnswer(const RequestHead&)>;

    RequestGate(Limits limits, Check check);
    ~RequestGate();
    RequestGate(const RequestGate&) = delete;
    RequestGate& operator=(const RequestGate&) = delete;

    // Serves the clients of listener (listening; the gate owns it from now
    // on), each request passed on to the server at upstream, a UNIX socket.
    korvasim::Result start(int listener, const std::string& upstream);
    void stop();

private:
    struct Connection;
    void run();
    void accept_clients();
    void take_request(Connection& c);
    void refuse(Connection& c, int status, const std::string& text);
    void pass_on(Connection& c);
    void relay(Connection& c, short client_events, short upstream_events);
    int reading_from(const std::string& peer) const;

    Limits limits_;
    Check check_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::string upstream_;
    std::list<Connection> connections_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

// The reason phrase of a status the gate answers with.
const char* reason_of(int status);

} // namespace korvastation

#endif
