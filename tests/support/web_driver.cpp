#include "tests/support/web_driver.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <httplib.h>

namespace {

std::string base64_decoded(const std::string& in)
{
    std::string out;
    int bits = 0;
    unsigned value = 0;
    for (char c : in) {
        const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const char* at = strchr(digits, c);
        if (!at || !c)
            continue;
        value = ((value << 6) | static_cast<unsigned>(at - digits)) & 0xffffffu;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xff);
        }
    }
    return out;
}

} // namespace

WebDriver::WebDriver(const std::string& dir)
{
    // The driver takes a free port itself and says which: no other
    // program can take it in between.
    driver_ = std::make_unique<Session>("/usr/bin/chromedriver",
                                        ChildOptions{{"--port=0", "--log-path=" + dir + "/chromedriver.log"}, {}, dir});
    const std::string started = "started successfully on port ";
    EXPECT_TRUE(driver_->wait_until([&] { return driver_->out().find(started) != std::string::npos || driver_->exited(); },
                                    60000))
        << driver_->err();
    const size_t at = driver_->out().find(started);
    const int port = at == std::string::npos ? 0 : atoi(driver_->out().c_str() + at + started.size());
    http_ = std::make_unique<httplib::Client>("127.0.0.1", port);
    http_->set_connection_timeout(10, 0);
    http_->set_read_timeout(60, 0);
    const nlohmann::json options = {
        {"binary", CHROMIUM_PATH},
        {"args", {"--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1280,1200",
                  "--user-data-dir=" + dir + "/profile", "--no-first-run", "--disable-background-networking"}}};
    const nlohmann::json session =
        call("POST", "/session", {{"capabilities", {{"alwaysMatch", {{"goog:chromeOptions", options}}}}}});
    id_ = session.contains("value") ? session["value"].value("sessionId", "") : "";
    EXPECT_FALSE(id_.empty()) << session.dump();
}

WebDriver::~WebDriver()
{
    if (!id_.empty())
        call("DELETE", "/session/" + id_, nullptr);
    driver_->signal(SIGTERM);
    driver_->wait_exit(30000);
}

void WebDriver::open(const std::string& url)
{
    command("POST", "/url", {{"url", url}});
}

void WebDriver::type(const std::string& selector, std::string text)
{
    for (size_t at; (at = text.find('\n')) != std::string::npos;)
        text.replace(at, 1, "\xee\x80\x87");  // U+E007, Enter
    command("POST", "/element/" + element(selector) + "/value", {{"text", text}});
}

void WebDriver::click(const std::string& selector)
{
    command("POST", "/element/" + element(selector) + "/click", nlohmann::json::object());
}

void WebDriver::press(const std::string& selector, int hold_ms)
{
    // A pointer acts where the element is on the screen: it is brought into
    // view first, as a person scrolls until they see it.
    const std::string in_view = "const e = document.querySelector(" + nlohmann::json(selector).dump() +
                                "); const r = e.getBoundingClientRect(); const y = (r.top + r.bottom) / 2;"
                                " if (y > 0 && y < window.innerHeight) return true;"
                                " e.scrollIntoView({block: 'center'}); return false;";
    driver_->wait_until([&] { return script(in_view) == true; }, 10000);
    const nlohmann::json element_ref = {{"element-6066-11e4-a52e-4f735466cecf", element(selector)}};
    const nlohmann::json mouse = {
        {"type", "pointer"},
        {"id", "mouse"},
        {"parameters", {{"pointerType", "mouse"}}},
        {"actions",
         {{{"type", "pointerMove"}, {"origin", element_ref}, {"x", 0}, {"y", 0}, {"duration", 0}},
          {{"type", "pointerDown"}, {"button", 0}},
          {{"type", "pause"}, {"duration", hold_ms}},
          {{"type", "pointerUp"}, {"button", 0}}}}};
    command("POST", "/actions", {{"actions", {mouse}}});
    command("DELETE", "/actions", nullptr);
}

nlohmann::json WebDriver::script(const std::string& body)
{
    return command("POST", "/execute/sync", {{"script", body}, {"args", nlohmann::json::array()}});
}

std::string WebDriver::text(const std::string& selector)
{
    const nlohmann::json v = script("const e = document.querySelector(" + nlohmann::json(selector).dump() +
                                    "); return e ? e.innerText : '';");
    return v.is_string() ? v.get<std::string>() : "";
}

bool WebDriver::wait_text(const std::string& selector, const std::string& part, int timeout_ms)
{
    return driver_->wait_until([&] { return text(selector).find(part) != std::string::npos; }, timeout_ms);
}

bool WebDriver::wait_shown(const std::string& selector, int timeout_ms)
{
    return driver_->wait_until(
        [&] {
            return script("const e = document.querySelector(" + nlohmann::json(selector).dump() +
                          "); return !!e && e.checkVisibility();") == true;
        },
        timeout_ms);
}

std::string WebDriver::focused()
{
    return script("return document.activeElement ? document.activeElement.id : '';");
}

void WebDriver::screenshot(const std::string& path)
{
    const nlohmann::json png = command("GET", "/screenshot", nullptr);
    std::ofstream(path, std::ios::binary) << base64_decoded(png.get<std::string>());
}

std::string WebDriver::element(const std::string& selector)
{
    const nlohmann::json found = command("POST", "/element", {{"using", "css selector"}, {"value", selector}});
    return found.is_object() && !found.empty() ? found.begin()->get<std::string>() : "";
}

nlohmann::json WebDriver::command(const std::string& method, const std::string& path, const nlohmann::json& body)
{
    return call(method, "/session/" + id_ + path, body)["value"];
}

nlohmann::json WebDriver::call(const std::string& method, const std::string& path, const nlohmann::json& body)
{
    httplib::Result r = method == "GET"      ? http_->Get(path)
                        : method == "DELETE" ? http_->Delete(path)
                                             : http_->Post(path, body.dump(), "application/json");
    if (!r) {
        ADD_FAILURE() << method << " " << path << ": no answer from chromedriver";
        return nlohmann::json::object();
    }
    const nlohmann::json answer = nlohmann::json::parse(r->body, nullptr, false);
    EXPECT_EQ(r->status, 200) << method << " " << path << ": " << r->body;
    return answer.is_discarded() ? nlohmann::json::object() : answer;
}
