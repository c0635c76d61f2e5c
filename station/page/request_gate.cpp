#include "station/page/request_gate.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace korvastation {

using korvasim::Result;
using Clock = std::chrono::steady_clock;

namespace {

const int IDLE_POLL_MS = 1000;

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string peer_of(int socket)
{
    sockaddr_storage address = {};
    socklen_t size = sizeof address;
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return "";
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&address)->sin_addr, text, sizeof text);
    else if (address.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr, text, sizeof text);
    std::string peer = text;
    // An IPv4 client of an IPv6 socket is the same client.
    return peer.rfind("::ffff:", 0) == 0 ? peer.substr(7) : peer;
}

// Parses a request head (without its blank line); false when it is none.
bool parse_head(const std::string& text, RequestHead* head)
{
    size_t line_end = text.find("\r\n");
    const std::string request_line = text.substr(0, line_end);
    const size_t first = request_line.find(' '), second = request_line.rfind(' ');
    if (first == std::string::npos || second == first)
        return false;
    head->method = request_line.substr(0, first);
    head->target = request_line.substr(first + 1, second - first - 1);
    const std::string version = request_line.substr(second + 1);
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return false;
    while (line_end != std::string::npos && line_end + 2 < text.size()) {
        const size_t start = line_end + 2;
        line_end = text.find("\r\n", start);
        const std::string line = text.substr(start, line_end == std::string::npos ? std::string::npos : line_end - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0)
            return false;
        head->headers.emplace_back(lower(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
    }
    return true;
}

} // namespace

std::string RequestHead::header(const std::string& name) const
{
    for (const auto& [key, value] : headers)
        if (key == name)
            return value;
    return "";
}

const char* reason_of(int status)
{
    switch (status) {
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 421: return "Misdirected Request";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    }
    return "Error";
}

struct RequestGate::Connection {
    enum class Stage { HEAD, BODY, RELAY, CLOSING };

    explicit Connection(int socket) : client(socket) {}
    ~Connection()
    {
        if (client >= 0)
            close(client);
        if (upstream >= 0)
            close(upstream);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int client;
    int upstream = -1;
    std::string peer;
    Clock::time_point deadline;
    Stage stage = Stage::HEAD;
    std::string in;              // the request so far
    size_t head_end = 0, body = 0;
    std::string to_upstream;     // what is left of the request as passed on
    std::string to_client;       // what is left of the answer
    bool upstream_done = false;  // the server ended its answer
    bool done = false;           // to be closed
};

RequestGate::RequestGate(Limits limits, Check check) : limits_(limits), check_(std::move(check)) {}

RequestGate::~RequestGate()
{
    stop();
}

Result RequestGate::start(int listener, const std::string& upstream)
{
    listener_ = listener;
    upstream_ = upstream;
    fcntl(listener_, F_SETFL, fcntl(listener_, F_GETFL) | O_NONBLOCK);
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        return Result::failure(std::string("cannot make a pipe for the page's gate: ") + strerror(errno));
    thread_ = std::thread([this] { run(); });
    return Result::ok();
}

void RequestGate::stop()
{
    if (!thread_.joinable())
        return;
    stopping_ = true;
    (void)!write(wake_[1], "x", 1);
    thread_.join();
    connections_.clear();
    for (int fd : {listener_, wake_[0], wake_[1]})
        if (fd >= 0)
            close(fd);
    listener_ = wake_[0] = wake_[1] = -1;
}

int RequestGate::reading_from(const std::string& peer) const
{
    int reading = 0;
    for (const Connection& c : connections_)
        reading += c.peer == peer && (c.stage == Connection::Stage::HEAD || c.stage == Connection::Stage::BODY);
    return reading;
}

void RequestGate::accept_clients()
{
    for (;;) {
        const int socket = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket < 0)
            return;
        Connection& c = connections_.emplace_back(socket);
        c.peer = peer_of(socket);
        c.deadline = Clock::now() + limits_.deadline;
        if (static_cast<int>(connections_.size()) > limits_.connections)
            refuse(c, 503, "the station serves " + std::to_string(limits_.connections) + " connections at once");
        else if (reading_from(c.peer) > limits_.per_address)
            refuse(c, 503, "too many requests under way from " + c.peer);
    }
}

void RequestGate::refuse(Connection& c, int status, const std::string& text)
{
    c.stage = Connection::Stage::CLOSING;
    c.deadline = Clock::now() + limits_.deadline;
    const std::string body = text + "\n";
    c.to_client = "HTTP/1.1 " + std::to_string(status) + " " + reason_of(status) +
                  "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
                  "\r\nConnection: close\r\n\r\n" + body;
    shutdown(c.client, SHUT_RD);
}

void RequestGate::take_request(Connection& c)
{
    char buffer[4096];
    const ssize_t n = read(c.client, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        c.done = true;
        return;
    }
    if (n > 0)
        c.in.append(buffer, static_cast<size_t>(n));
    if (c.stage == Connection::Stage::HEAD) {
        const size_t end = c.in.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (c.in.size() > limits_.head_bytes)
                refuse(c, 431, "a request head of more than " + std::to_string(limits_.head_bytes) + " bytes");
            return;
        }
        RequestHead head;
        head.peer = c.peer;
        if (end > limits_.head_bytes || !parse_head(c.in.substr(0, end), &head))
            return refuse(c, end > limits_.head_bytes ? 431 : 400, "not a request the station takes");
        if (!head.header("transfer-encoding").empty())
            return refuse(c, 411, "a request body is taken with its Content-Length");
        const std::string length = head.header("content-length");
        if (length.find_first_not_of("0123456789") != std::string::npos || length.size() > 12)
            return refuse(c, 400, "a bad Content-Length");
        c.body = length.empty() ? 0 : std::stoul(length);
        if (c.body > limits_.body_bytes)
            return refuse(c, 413, "a request body of more than " + std::to_string(limits_.body_bytes) + " bytes");
        if (const GateAnswer answer = check_(head); answer.status != 0)
            return refuse(c, answer.status, answer.text);
        c.head_end = end + 4;
        c.stage = Connection::Stage::BODY;
    }
    if (c.in.size() >= c.head_end + c.body)
        pass_on(c);
}

void RequestGate::pass_on(Connection& c)
{
    // The head again, one request per connection: the server closes after
    // its answer, which tells the gate where the answer ends.
    RequestHead head;
    parse_head(c.in.substr(0, c.head_end - 4), &head);
    const size_t line_end = c.in.find("\r\n");
    std::string request = c.in.substr(0, line_end + 2);
    for (const auto& [name, value] : head.headers)
        if (name != "connection" && name != "keep-alive" && name != "upgrade")
            request += name + ": " + value + "\r\n";
    request += "connection: close\r\n\r\n" + c.in.substr(c.head_end, c.body);
    c.upstream = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", upstream_.c_str());
    if (c.upstream < 0 || connect(c.upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return refuse(c, 503, "the page's server does not answer");
    c.to_upstream = request;
    c.in.clear();
    c.stage = Connection::Stage::RELAY;
}

void RequestGate::relay(Connection& c, short client_events, short upstream_events)
{
    char buffer[16384];
    if (client_events & (POLLHUP | POLLERR)) {
        c.done = true;
        return;
    }
    if (client_events & POLLIN) {
        // Whatever else a client sends is not read on: one request a connection.
        const ssize_t n = read(c.client, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            c.done = true;
            return;
        }
    }
    if ((upstream_events & POLLOUT) && !c.to_upstream.empty()) {
        const ssize_t n = send(c.upstream, c.to_upstream.data(), c.to_upstream.size(), MSG_NOSIGNAL);
        if (n > 0)
            c.to_upstream.erase(0, static_cast<size_t>(n));
    }
    if (upstream_events & (POLLIN | POLLHUP | POLLERR)) {
        const size_t room = limits_.buffered - std::min(limits_.buffered, c.to_client.size());
        const ssize_t n = room ? read(c.upstream, buffer, std::min(room, sizeof buffer)) : -1;
        if (n > 0)
            c.to_client.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR && room))
            c.upstream_done = true;
    }
    if ((client_events & POLLOUT) && !c.to_client.empty()) {
        const ssize_t n = send(c.client, c.to_client.data(), c.to_client.size(), MSG_NOSIGNAL);
        if (n > 0)
            c.to_client.erase(0, static_cast<size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            c.done = true;
    }
    if (c.upstream_done && c.to_client.empty())
        c.done = true;
}

void RequestGate::run()
{
    using Stage = Connection::Stage;
    while (!stopping_) {
        std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        auto wait = std::chrono::milliseconds(IDLE_POLL_MS);
        const auto now = Clock::now();
        for (const Connection& c : connections_) {
            short client = c.stage == Stage::RELAY ? POLLIN : 0, upstream = 0;
            if (c.stage == Stage::HEAD || c.stage == Stage::BODY)
                client = POLLIN;
            if (!c.to_client.empty())
                client |= POLLOUT;
            if (c.stage == Stage::RELAY) {
                upstream = (c.to_upstream.empty() ? 0 : POLLOUT) |
                           (c.to_client.size() < limits_.buffered && !c.upstream_done ? POLLIN : 0);
            } else {
                wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::max(c.deadline - now, Clock::duration::zero())));
            }
            fds.push_back({c.client, client, 0});
            fds.push_back({c.upstream, upstream, 0});
        }
        poll(fds.data(), fds.size(), static_cast<int>(wait.count()) + 1);
        if (fds[0].revents)
            return;
        size_t k = 2;
        for (Connection& c : connections_) {
            const short client = fds[k++].revents, upstream = fds[k++].revents;
            if (c.stage == Stage::RELAY) {
                relay(c, client, upstream);
            } else if (c.stage == Stage::CLOSING) {
                if (!c.to_client.empty() && (client & POLLOUT)) {
                    const ssize_t n = send(c.client, c.to_client.data(), c.to_client.size(), MSG_NOSIGNAL);
                    c.to_client.erase(0, n > 0 ? static_cast<size_t>(n) : c.to_client.size());
                }
                c.done = c.done || c.to_client.empty() || Clock::now() > c.deadline;
            } else if (client) {
                take_request(c);
            }
            if ((c.stage == Stage::HEAD || c.stage == Stage::BODY) && Clock::now() > c.deadline)
                refuse(c, 408, "the request did not come whole in " +
                                   std::to_string(limits_.deadline.count() / 1000) + " s");
        }
        connections_.remove_if([](const Connection& c) { return c.done; });
        if (fds[1].revents)
            accept_clients();
    }
}

} // namespace korvastation
