#include "station/serve/action_mailbox.h"

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace korvastation {

namespace {

// The loop answers within one turn; a station that is stopping may not.
const auto ANSWER_WAIT = std::chrono::seconds(10);

} // namespace

ActionMailbox::ActionMailbox() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (wake_ < 0)
        throw std::runtime_error("cannot make an eventfd");
}

ActionMailbox::~ActionMailbox()
{
    close(wake_);
}

ActionReply ActionMailbox::ask(const PageAction& action)
{
    std::future<ActionReply> answer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        letters_.push_back({action, {}});
        answer = letters_.back().reply.get_future();
    }
    const uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
    if (answer.wait_for(ANSWER_WAIT) != std::future_status::ready)
        return {503, "the station did not answer in time: it may be stopping"};
    try {
        return answer.get();
    } catch (const std::future_error&) {
        return {503, "the station is stopping"};
    }
}

std::vector<ActionMailbox::Letter> ActionMailbox::take()
{
    uint64_t count = 0;
    (void)!read(wake_, &count, sizeof count);
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Letter> taken;
    taken.swap(letters_);
    return taken;
}

} // namespace korvastation
