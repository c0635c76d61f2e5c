// The faults of each power-up of a board. Real boards fail now and then: a
// fault may be present on the first K power-ups only, or on each with a
// probability drawn from a seed, so that retests can be tried on boards
// that fail once, hang once or fail every time.
#ifndef KORVASIM_FAULT_SCHEDULE_H
#define KORVASIM_FAULT_SCHEDULE_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sim/board/faults.h"
#include "sim/support/result.h"

namespace korvasim {

class FaultSchedule {
public:
    // "SPEC" (every power-up), "SPEC,first=K" (the first K) or
    // "SPEC,p=P[,seed=S]" (each with probability P, 0 < P < 1, drawn from
    // seed S, default 1). Fails, naming the option, when it is malformed or
    // contradicts an earlier one on a power-up where both are present.
    Result add(const std::string& option);
    // The faults of the next power-up.
    FaultSet next_power_up();

private:
    struct Sometimes {
        std::string spec;
        unsigned long first = 0;  // present on power-ups 1..first; 0: by chance
        double probability = 0;
        std::mt19937_64 random{1};
    };

    FaultSet always_;
    std::vector<Sometimes> sometimes_;
    unsigned long power_ups_ = 0;
};

// The form of a schedule's options, for messages.
const char* fault_schedule_forms();

} // namespace korvasim

#endif
