#include "station/page/page_server.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvastation {

using korvasim::Result;

namespace {

// Also how soon a page that went away gives its stream's place back.
const auto KEEP_ALIVE = std::chrono::seconds(5);

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

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

PageServer::PageServer(const char* html, std::string script_path, const char* script)
    : gate_({}, [this](const RequestHead& head) { return check(head); }), server_(std::make_unique<httplib::Server>()),
      html_(html), script_path_(std::move(script_path)), script_(script)
{
}

PageServer::~PageServer()
{
    stop();
}

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

// The gate's check of every request, before a byte of its body is read.
GateAnswer PageServer::check(const RequestHead& head) const
{
    const std::string host = lower(head.header("host"));
    if (!own_hosts_.count(host))
        return {421, "the station answers to its own names only"};
    // A page of another site could send a plain form, or rebind its name to
    // this machine; its Origin tells, and it cannot send the action header
    // without the browser asking the station first, which it never answers.
    const std::string origin = head.header("origin");
    if (!origin.empty() && lower(origin) != "http://" + host)
        return {403, "actions come from the station's own page"};
    if (head.method != "POST")
        return {};
    if (head.header("x-korva-action") != "1")
        return {403, "actions come from the station's own page"};
    if (!address_.loopback() && !same_token(head.header("x-korva-token"), token_))
        return {403, "this station's page needs its token for actions: open it with ?token=..."};
    return {};
}

void PageServer::serve_action(const httplib::Request& req, httplib::Response& res)
{
    PageAction action;
    action.name = req.matches[1];
    for (const auto& [key, value] : req.params)
        action.fields[key] = value;
    const ActionReply reply = actions_(action);
    res.status = reply.status;
    if (!reply.json.empty())
        res.set_content(reply.json, "application/json");
    else
        res.set_content(reply.message + "\n", "text/plain; charset=utf-8");
}

void PageServer::route()
{
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
    if (actions_)
        server_->Post(R"(/action/([A-Za-z0-9_-]{1,40}))",
                      [this](const httplib::Request& req, httplib::Response& res) { serve_action(req, res); });
}

Result PageServer::start(const std::string& address, std::string* url, std::string* reachable)
{
    if (const Result parsed = parse_page_address(address, &address_); !parsed)
        return parsed;
    if (actions_ && !address_.loopback() && token_.empty())
        return Result::failure("the page takes actions: it is served beyond loopback (" + address_.host +
                               ") only with a token in the configuration");
    int listener = -1;
    if (const Result listening = listen_on(&address_, &listener); !listening)
        return listening;
    own_hosts_ = own_hosts(address_);
    // The library's server listens on a socket in a folder of this process
    // alone: only the gate reaches it.
    char folder[] = "/tmp/korvastation-page-XXXXXX";
    if (!mkdtemp(folder)) {
        close(listener);
        return Result::failure(std::string("cannot make a folder for the page's server: ") + strerror(errno));
    }
    inner_dir_ = folder;
    const std::string inner = inner_dir_ + "/page.sock";
    route();
    // Workers for every stream and as many again for pages and states: the
    // gate passes them only whole requests.
    server_->new_task_queue = [] { return new httplib::ThreadPool(2 * MAX_EVENT_STREAMS); };
    server_->set_address_family(AF_UNIX);
    if (!server_->bind_to_port(inner, 80)) {
        close(listener);
        return Result::failure("cannot serve the page on " + inner + ": " + strerror(errno));
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    if (const Result started = gate_.start(listener, inner); !started)
        return started;
    *url = page_url(address_);
    *reachable = urls_beyond_loopback(address_);
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
    gate_.stop();
    if (thread_.joinable()) {
        // The server ignores a stop that comes before it runs: a station
        // whose boards were all done at once would wait for it for ever.
        for (int i = 0; i < 2000 && !server_->is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        server_->stop();
        thread_.join();
    }
    if (!inner_dir_.empty()) {
        unlink((inner_dir_ + "/page.sock").c_str());
        rmdir(inner_dir_.c_str());
        inner_dir_.clear();
    }
}

} // namespace korvastation
