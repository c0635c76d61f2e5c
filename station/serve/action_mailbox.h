// The page's actions, handed from the page server's threads to the
// station's loop, which alone touches the fixtures; the server's thread
// waits for the answer so that the operator reads it at once.
#ifndef KORVASTATION_ACTION_MAILBOX_H
#define KORVASTATION_ACTION_MAILBOX_H

#include <future>
#include <mutex>
#include <vector>

#include "station/page/page_server.h"

namespace korvastation {

class ActionMailbox {
public:
    struct Letter {
        PageAction action;
        std::promise<ActionReply> reply;
    };

    ActionMailbox();
    ~ActionMailbox();
    ActionMailbox(const ActionMailbox&) = delete;
    ActionMailbox& operator=(const ActionMailbox&) = delete;

    // On a server thread: posts action and waits for the loop's answer.
    ActionReply ask(const PageAction& action);
    // Readable while letters wait: the loop polls it.
    int fd() const { return wake_; }
    std::vector<Letter> take();

private:
    int wake_ = -1;  // an eventfd
    std::mutex mutex_;
    std::vector<Letter> letters_;
};

} // namespace korvastation

#endif
