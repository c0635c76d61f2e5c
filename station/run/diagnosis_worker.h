// The diagnosis of failed attempts, on a thread of its own as each attempt
// ends: simulating the faults takes seconds, and the boards' loop must not
// wait for it. Its results reach the records and the page at once.
#ifndef KORVASTATION_DIAGNOSIS_WORKER_H
#define KORVASTATION_DIAGNOSIS_WORKER_H

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/report_lines.h"
#include "sim/analysis/diagnosis.h"
#include "sim/analysis/fault_catalogue.h"

namespace korvastation {

// What the diagnosis of one failed attempt's log found.
struct AttemptDiagnosis {
    size_t board = 0;  // the caller's numbers of the board and its attempt
    int attempt = 0;
    std::vector<korvasim::CatalogueFault> faults;  // the candidates, if any
    std::string note;                              // why there are none
    std::string closest;                           // with none: the faults that came closest
    std::string failure_excerpt[BOARD_TEST_COUNT];  // per failed test: its report in the log
};

// One diagnosis of a verbose log as dudedoved wrote it.
AttemptDiagnosis diagnose_log(const std::string& log_path, std::map<std::string, korvasim::Diagnosis>* known);

class DiagnosisWorker {
public:
    DiagnosisWorker();
    ~DiagnosisWorker();  // waits for the diagnosis under way
    DiagnosisWorker(const DiagnosisWorker&) = delete;
    DiagnosisWorker& operator=(const DiagnosisWorker&) = delete;

    void submit(size_t board, int attempt, const std::string& log_path);
    // The diagnoses done since the last call.
    std::vector<AttemptDiagnosis> take_done();
    // Whether a submitted diagnosis is not yet taken.
    bool pending() const;
    // Waits until the next one is done, or timeout_ms.
    void wait(int timeout_ms);

private:
    struct Job {
        size_t board;
        int attempt;
        std::string log_path;
    };
    void work();

    mutable std::mutex mutex_;
    std::condition_variable wake_, done_signal_;
    std::deque<Job> jobs_;
    std::vector<AttemptDiagnosis> done_;
    size_t submitted_ = 0, taken_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace korvastation

#endif
