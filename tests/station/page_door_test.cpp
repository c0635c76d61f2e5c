// The operator's page against clients that do everything a client may:
// many live pages and slow clients, a crowd that sends its headers a line
// every while (slowloris), a body of gigabytes, another site's page that
// rebinds its name to this machine. The page answers its operators all the
// while, and what it refuses changes nothing.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "station/page/page_server.h"
#include "tests/station/raw_http.h"
#include "tests/station/serve_station_fixture.h"
#include "tests/support/session.h"

namespace {

// Hang guard only: the gate answers within its deadline of 5 s.
const int ANSWER_MS = 30000;

const std::string STREAM = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
const std::string PAGE = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// The station's resident set in kB.
long rss_kb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// The page answers: a whole page within timeout_ms, asked again while the
// gate turns a request away.
bool page_answers(int port, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        const int s = request(port, PAGE);
        const std::string answer = read_until(s, "</html>", 2000);
        close(s);
        if (answer.rfind("HTTP/1.1 200 OK", 0) == 0 && answer.find("</html>") != std::string::npos)
            return true;
    }
    return false;
}

class PageDoorTest : public testing::Test {
protected:
    PageDoorTest() : dir_(make_temp_dir()), station_(dir_, {{"A", nullptr, ""}}) {}
    ~PageDoorTest() override
    {
        station_.process().signal(SIGTERM);
        station_.process().wait_exit(ANSWER_MS);
    }
    int port() { return port_of(station_.url()); }

    std::string dir_;
    ServeProcess station_;
};

TEST_F(PageDoorTest, ManyLivePagesAndSlowClientsLeaveThePageAnswering)
{
    std::vector<int> open;
    for (int i = 0; i < korvastation::MAX_EVENT_STREAMS; ++i) {
        open.push_back(request(port(), STREAM));
        EXPECT_NE(read_until(open.back(), "data: ", ANSWER_MS).find("data: "), std::string::npos) << "stream " << i;
    }
    const int refused = request(port(), STREAM);
    const std::string answer = read_until(refused, "close one", ANSWER_MS);
    EXPECT_NE(answer.find("HTTP/1.1 503"), std::string::npos) << answer;
    EXPECT_NE(answer.find("live pages at once; close one, or read /state."), std::string::npos) << answer;
    close(refused);
    // Clients that never finish their request: a few at once from one
    // address, each given up at the deadline; the page answers meanwhile
    // or right after.
    for (int i = 0; i < 12; ++i)
        open.push_back(request(port(), "GET / HT"));
    EXPECT_NE(read_until(open.back(), "\r\n\r\n", ANSWER_MS).find("HTTP/1.1 503"), std::string::npos)
        << "the ninth slow client from one address is turned away at once";
    EXPECT_TRUE(page_answers(port(), ANSWER_MS));
    EXPECT_NE(read_until(open[korvastation::MAX_EVENT_STREAMS], "\r\n\r\n", ANSWER_MS).find("HTTP/1.1 408"),
              std::string::npos);
    // A stream closed gives its place to the next.
    close(open.front());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ANSWER_MS);
    std::string next;
    while (next.find("data: ") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        const int again = request(port(), STREAM);
        next = read_until(again, "data: ", 2000);
        close(again);
    }
    EXPECT_NE(next.find("data: "), std::string::npos) << next;
    for (size_t i = 1; i < open.size(); ++i)
        close(open[i]);
}

TEST_F(PageDoorTest, AClientThatSendsAHeaderLineEveryWhileIsCutAtTheDeadline)
{
    const int stream = request(port(), STREAM);
    ASSERT_NE(read_until(stream, "data: ", ANSWER_MS).find("data: "), std::string::npos);
    std::vector<int> crowd;
    for (int i = 0; i < 64; ++i)
        crowd.push_back(request(port(), "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    const auto started = std::chrono::steady_clock::now();
    std::vector<bool> ended(crowd.size(), false);
    // A header line each second, as long as the station listens.
    while (std::chrono::steady_clock::now() - started < std::chrono::seconds(8)) {
        for (size_t i = 0; i < crowd.size(); ++i)
            if (!ended[i] && send(crowd[i], "X-Slow: 1\r\n", 11, MSG_NOSIGNAL) < 0)
                ended[i] = true;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    for (size_t i = 0; i < crowd.size(); ++i) {
        const std::string answer = read_until(crowd[i], "\r\n\r\n", 1000);
        EXPECT_TRUE(ended[i] || answer.rfind("HTTP/1.1 408", 0) == 0 || answer.rfind("HTTP/1.1 503", 0) == 0)
            << "client " << i << ": " << answer;
        close(crowd[i]);
    }
    // The operator's page, its stream and its actions never stopped.
    EXPECT_TRUE(page_answers(port(), ANSWER_MS));
    EXPECT_EQ(station_.post("operator", {{"name", "ann"}}).status, 200);
    EXPECT_NE(read_until(stream, "\"operator\":\"ann\"", ANSWER_MS).find("\"operator\":\"ann\""), std::string::npos);
    close(stream);
}

TEST_F(PageDoorTest, ABodyBeyondWhatAnActionNeedsIsRefusedAtOnce)
{
    const long before = rss_kb(station_.process().pid());
    const int s = request(port(), "POST /action/operator HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Korva-Action: 1\r\n"
                                  "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 3000000000\r\n\r\n"
                                  "name=mallory&x=");
    const std::string megabyte(1 << 20, 'x');
    for (int i = 0; i < 16; ++i)
        send(s, megabyte.data(), megabyte.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    const std::string answer = read_until(s, "\r\n\r\n", ANSWER_MS);
    close(s);
    EXPECT_EQ(answer.rfind("HTTP/1.1 413", 0), 0u) << answer;
    EXPECT_LT(rss_kb(station_.process().pid()) - before, 8 * 1024);
    EXPECT_EQ(station_.state()["operator"], "");
}

struct DoorCase {
    const char* name;
    std::string host, origin;
    bool action_header;
    int status;
};

TEST_F(PageDoorTest, AnActionComesOnlyFromTheStationsOwnPage)
{
    const std::string p = std::to_string(port());
    for (const DoorCase& c : {
             DoorCase{"AnotherSiteRebindingItsName", "attacker.example:" + p, "http://attacker.example:" + p, true, 421},
             DoorCase{"AnotherSitesOrigin", "127.0.0.1:" + p, "http://attacker.example:" + p, true, 403},
             DoorCase{"APlainForm", "127.0.0.1:" + p, "", false, 403},
             DoorCase{"NoHost", "", "", true, 421},
             DoorCase{"TheStationsOwnPage", "127.0.0.1:" + p, "http://127.0.0.1:" + p, true, 200}}) {
        const std::string body = std::string("name=") + (c.status == 200 ? "ann" : "mallory");
        const int s = request(port(), "POST /action/operator HTTP/1.1\r\n" + (c.host.empty() ? "" : "Host: " + c.host + "\r\n") +
                                          (c.origin.empty() ? "" : "Origin: " + c.origin + "\r\n") +
                                          (c.action_header ? "X-Korva-Action: 1\r\n" : "") +
                                          "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                          std::to_string(body.size()) + "\r\n\r\n" + body);
        const std::string answer = read_until(s, "\r\n\r\n", ANSWER_MS);
        close(s);
        EXPECT_EQ(answer.rfind("HTTP/1.1 " + std::to_string(c.status), 0), 0u) << c.name << ": " << answer;
    }
    EXPECT_EQ(station_.state()["operator"], "ann");
}

} // namespace
