// Headless Chromium driven as a person would (typing, clicking), through
// Debian's chromedriver and the W3C WebDriver protocol over HTTP. The
// bodies are in web_driver.cpp, compiled once.
#ifndef KORVA_TESTS_WEB_DRIVER_H
#define KORVA_TESTS_WEB_DRIVER_H

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/session.h"

namespace httplib {
class Client;
}

class WebDriver {
public:
    // dir: the browser's profile and the driver's log.
    explicit WebDriver(const std::string& dir);
    ~WebDriver();
    WebDriver(const WebDriver&) = delete;
    WebDriver& operator=(const WebDriver&) = delete;

    void open(const std::string& url);
    // Types text into the element (a CSS selector); "\n" is the Enter key.
    void type(const std::string& selector, std::string text);
    void click(const std::string& selector);
    // A mouse press on the element's middle, held for hold_ms before it is let go.
    void press(const std::string& selector, int hold_ms);
    // The script's value, run in the page.
    nlohmann::json script(const std::string& body);
    // The element's text as shown; empty when there is none.
    std::string text(const std::string& selector);
    bool wait_text(const std::string& selector, const std::string& part, int timeout_ms);
    // Waits until the element is shown, as a person would before pressing it.
    bool wait_shown(const std::string& selector, int timeout_ms);
    // Which element has the keyboard's focus: its id.
    std::string focused();
    void screenshot(const std::string& path);

private:
    std::string element(const std::string& selector);
    nlohmann::json command(const std::string& method, const std::string& path, const nlohmann::json& body);
    nlohmann::json call(const std::string& method, const std::string& path, const nlohmann::json& body);

    std::unique_ptr<Session> driver_;
    std::unique_ptr<httplib::Client> http_;
    std::string id_;
};

#endif
