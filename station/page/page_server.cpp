#include "station/page/page_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <httplib.h>
#include <ifaddrs.h>

namespace korvastation {

using korvasim::Result;

namespace {

// Also how soon a page that went away gives its stream's place back.
const auto KEEP_ALIVE = std::chrono::seconds(5);

bool loopback(const std::string& host)
{
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::string url_of(const std::string& host, int port)
{
    const std::string shown_host = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return "http://" + shown_host + ":" + std::to_string(port) + "/";
}

// A wildcard address is no address to browse to: the machine's own
// addresses of that family, beyond loopback, are.
std::string urls_of_every_address(bool ipv6, int port)
{
    ifaddrs* list = nullptr;
    std::string urls;
    if (getifaddrs(&list) != 0)
        return urls;
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != (ipv6 ? AF_INET6 : AF_INET))
            continue;
        char text[INET6_ADDRSTRLEN] = {};
        const void* address = ipv6 ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(a->ifa_addr)->sin6_addr)
                                   : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr);
        if (!inet_ntop(ipv6 ? AF_INET6 : AF_INET, address, text, sizeof text) || loopback(text) ||
            std::string(text).rfind("fe80:", 0) == 0)
            continue;
        urls += (urls.empty() ? "" : ", ") + url_of(text, port);
    }
    freeifaddrs(list);
    return urls;
}

} // namespace

PageServer::PageServer(const char* html, std::string script_path, const char* script)
    : server_(std::make_unique<httplib::Server>()), html_(html), script_path_(std::move(script_path)), script_(script)
{
}

PageServer::~PageServer()
{
    stop();
}

namespace {

// "[HOST:]PORT", "[::1]:8080": the host (loopback when none is named) and
// the port as given and as a number.
Result parse_address(const std::string& address, std::string* host, std::string* port_text, long* port)
{
    *host = "127.0.0.1";
    *port_text = address;
    const size_t colon = address.rfind(':');
    if (colon != std::string::npos) {
        *host = address.substr(0, colon);
        *port_text = address.substr(colon + 1);
        if (host->size() > 1 && host->front() == '[' && host->back() == ']')
            *host = host->substr(1, host->size() - 2);
    }
    char* end = nullptr;
    *port = strtol(port_text->c_str(), &end, 10);
    if (host->empty() || port_text->empty() || *end != '\0' || *port < 0 || *port > 65535)
        return Result::failure("bad --http '" + address + "': expected [HOST:]PORT, such as 8080 or 0.0.0.0:8080");
    return Result::ok();
}

} // namespace

std::string PageServer::page() const
{
    std::string page = html_;
    std::string state;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state = state_;
    }
    // Inside a script no "</script>" may end it early: '<' only ever
    // stands in the JSON's strings, where \u003c is the same text.
    std::string escaped;
    for (char c : state)
        escaped += c == '<' ? std::string("\\u003c") : std::string(1, c);
    const std::string mark = "/*STATE*/";
    page.replace(page.find(mark), mark.size(), escaped);
    return page;
}

void PageServer::serve_events(httplib::Response& res)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (streams_ >= MAX_EVENT_STREAMS) {
            res.status = 503;
            res.set_header("Retry-After", "10");
            res.set_content("The station serves " + std::to_string(MAX_EVENT_STREAMS) +
                                " live pages at once; close one, or read /state.\n",
                            "text/plain; charset=utf-8");
            return;
        }
        ++streams_;
    }
    res.set_header("Cache-Control", "no-cache");
    auto seen = std::make_shared<unsigned long>(0);
    // The stream's end, however it comes, gives its place back.
    auto place = std::shared_ptr<void>(nullptr, [this](void*) {
        std::lock_guard<std::mutex> lock(mutex_);
        --streams_;
    });
    res.set_chunked_content_provider("text/event-stream", [this, seen, place](size_t, httplib::DataSink& sink) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, KEEP_ALIVE, [&] { return version_ != *seen || stopping_; });
        if (stopping_) {
            sink.done();
            return false;
        }
        const std::string message = version_ != *seen ? "data: " + state_ + "\n\n" : ": still here\n\n";
        *seen = version_;
        lock.unlock();
        return sink.write(message.data(), message.size());
    });
}

void PageServer::accept_actions(std::function<ActionReply(const PageAction&)> handler, const std::string& token)
{
    actions_ = std::move(handler);
    token_ = token;
}

namespace {

// Compares all of it whatever differs first, so that the time of a refusal
// does not tell how much of a guess was right.
bool same_token(const std::string& given, const std::string& token)
{
    unsigned char differ = given.size() != token.size();
    for (size_t i = 0; i < given.size(); ++i)
        differ |= static_cast<unsigned char>(given[i] ^ token[i % (token.empty() ? 1 : token.size())]);
    return differ == 0 && !token.empty();
}

} // namespace

void PageServer::serve_action(const httplib::Request& req, httplib::Response& res)
{
    // A page of another site could send a plain form here; it cannot send
    // this header without the browser asking the station first, which it
    // never answers.
    if (req.get_header_value("X-Korva-Action") != "1") {
        res.status = 403;
        res.set_content("actions come from the station's own page\n", "text/plain; charset=utf-8");
        return;
    }
    if (!loopback_ && !same_token(req.get_header_value("X-Korva-Token"), token_)) {
        res.status = 403;
        res.set_content("this station's page needs its token for actions: open it with ?token=...\n",
                        "text/plain; charset=utf-8");
        return;
    }
    PageAction action;
    action.name = req.matches[1];
    for (const auto& [key, value] : req.params)
        action.fields[key] = value;
    const ActionReply reply = actions_(action);
    res.status = reply.status;
    res.set_content(reply.message + "\n", "text/plain; charset=utf-8");
}

Result PageServer::start(const std::string& address, std::string* url, std::string* reachable)
{
    std::string host, port_text;
    long port = 0;
    if (const Result parsed = parse_address(address, &host, &port_text, &port); !parsed)
        return parsed;
    server_->Get("/", [this](const httplib::Request&, httplib::Response& res) {
        // Nothing but the page's own script runs in it, and no other site
        // may frame it.
        res.set_header("Content-Security-Policy", "default-src 'self'; style-src 'self' 'unsafe-inline'; "
                                                  "frame-ancestors 'none'");
        res.set_content(page(), "text/html; charset=utf-8");
    });
    server_->Get(script_path_, [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(script_, "text/javascript; charset=utf-8");
    });
    server_->Get("/state", [this](const httplib::Request&, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(mutex_);
        res.set_content(state_, "application/json");
    });
    server_->Get("/events", [this](const httplib::Request&, httplib::Response& res) { serve_events(res); });
    server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(mutex_);
        res.set_content(metrics_, "text/plain; version=0.0.4; charset=utf-8");
    });
    loopback_ = loopback(host);
    if (actions_) {
        if (!loopback_ && token_.empty())
            return Result::failure("the page takes actions: it is served beyond loopback (" + host +
                                   ") only with a token in the configuration");
        server_->Post(R"(/action/([A-Za-z0-9_-]{1,40}))",
                      [this](const httplib::Request& req, httplib::Response& res) { serve_action(req, res); });
    }
    // Workers for every stream and as many again for pages and states; a
    // client that sends its request slowly is given up after a few seconds.
    server_->new_task_queue = [] { return new httplib::ThreadPool(2 * MAX_EVENT_STREAMS); };
    // An address another program (a second station) listens on is refused:
    // the library's own options would share the port, and the operators'
    // scans would go to either station at random.
    server_->set_socket_options([](int socket) {
        const int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_->set_read_timeout(3, 0);
    int bound = static_cast<int>(port);
    if (port == 0)
        bound = server_->bind_to_any_port(host);
    else if (!server_->bind_to_port(host, bound))
        bound = -1;
    if (bound < 0)
        return Result::failure("cannot serve the page on " + host + ":" + port_text + ": " + strerror(errno));
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    const bool wildcard = host == "0.0.0.0" || host == "::";
    *url = url_of(wildcard ? (host == "::" ? "::1" : "127.0.0.1") : host, bound);
    reachable->clear();
    if (wildcard)
        *reachable = urls_of_every_address(host == "::", bound);
    if (!loopback(host) && reachable->empty())
        *reachable = wildcard ? "every address of this machine, port " + std::to_string(bound) : *url;
    return Result::ok();
}

void PageServer::publish(const std::string& state)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state == state_)
            return;
        state_ = state;
        ++version_;
    }
    changed_.notify_all();
}

void PageServer::publish_metrics(const std::string& metrics)
{
    std::lock_guard<std::mutex> lock(mutex_);
    metrics_ = metrics;
}

void PageServer::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        // The server ignores a stop that comes before it runs: a station
        // whose boards were all done at once would wait for it for ever.
        for (int i = 0; i < 2000 && !server_->is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        server_->stop();
        thread_.join();
    }
}

} // namespace korvastation
