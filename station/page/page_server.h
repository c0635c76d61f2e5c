// The page server of both modes: one page (the live page of a batch, the
// operator's page of a served station) and its script, the station's state
// as JSON, pushed to every open page as server-sent events when it changes,
// the page's actions, and the metrics.
#ifndef KORVASTATION_PAGE_SERVER_H
#define KORVASTATION_PAGE_SERVER_H

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/support/result.h"
#include "station/page/page_address.h"
#include "station/page/request_gate.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}

namespace korvastation {

// What a page asks the station to do: POST /action/NAME with form fields.
struct PageAction {
    std::string name;
    std::map<std::string, std::string> fields;
};

struct ActionReply {
    ActionReply(int status = 200, std::string message = "", std::string json = "")
        : status(status), message(std::move(message)), json(std::move(json))
    {
    }
    int status;           // 400 for input the station refuses
    std::string message;  // for the operator
    std::string json;     // when given, the answer's body instead: a JSON object with its "message"
};

class PageServer {
public:
    // html: the page, with /*STATE*/ where its first state goes; script
    // its script, served at script_path.
    PageServer(const char* html, std::string script_path, const char* script);
    ~PageServer();
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;

    // Before start: the page's actions go to handler, on the server's
    // threads. Beyond loopback each needs token, and without one the page
    // is not served there.
    void accept_actions(std::function<ActionReply(const PageAction&)> handler, const std::string& token);
    // "[HOST:]PORT" (127.0.0.1 unless a host is named; port 0 takes a free
    // one). Its address, as a page's URL, in *url; on a host beyond loopback,
    // the URLs other machines reach it by in *reachable (else empty).
    korvasim::Result start(const std::string& address, std::string* url, std::string* reachable);
    // The state every page shows from now on, as JSON.
    void publish(const std::string& state);
    // What GET /metrics answers from now on (Prometheus's text format).
    void publish_metrics(const std::string& metrics);
    void stop();

private:
    // The page with the state inside, so that it shows the boards at once.
    std::string page() const;
    // A live page's stream of states, while there is room for one.
    void serve_events(httplib::Response& res);
    void serve_action(const httplib::Request& req, httplib::Response& res);
    GateAnswer check(const RequestHead& head) const;
    void route();

    std::function<ActionReply(const PageAction&)> actions_;
    std::string token_;
    PageAddress address_;
    std::set<std::string> own_hosts_;  // the Host values a request may carry
    RequestGate gate_;
    std::string inner_dir_;  // the library's server's socket is in it

    std::unique_ptr<httplib::Server> server_;
    const char* html_;
    std::string script_path_;
    const char* script_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string state_ = "{}";
    std::string metrics_;
    unsigned long version_ = 0;
    bool stopping_ = false;
    int streams_ = 0;  // event streams open now, under mutex_
};

// Event streams served at once: each holds one of the server's workers, and
// the page itself must always find one free.
const int MAX_EVENT_STREAMS = 16;

} // namespace korvastation

#endif
