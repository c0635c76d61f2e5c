#include "station/run/diagnosis_worker.h"

#include <algorithm>

#include "firmware/boot_image.h"
#include "sim/support/read_limited.h"

namespace korvastation {

namespace {

const size_t MAX_REPORT_LINES = 200;

// A failed test's report for the records, cut where a record would grow
// with it: a report of a board with a dead bus has a mismatch on every line.
std::string excerpt_of(const std::vector<std::string>& lines)
{
    const size_t shown = std::min(lines.size(), MAX_REPORT_LINES);
    std::string text;
    for (size_t i = 0; i < shown; ++i)
        text += lines[i] + "\n";
    if (shown < lines.size())
        text += "(" + std::to_string(lines.size() - shown) + " more lines in the log)\n";
    return text;
}

} // namespace

AttemptDiagnosis diagnose_log(const std::string& log_path, std::map<std::string, korvasim::Diagnosis>* known)
{
    AttemptDiagnosis found;
    std::string text;
    if (const korvasim::Result read = korvasim::read_limited("log", log_path, korvasim::LOG_LIMIT, &text); !read) {
        found.note = "no diagnosis: " + read.why();
        return found;
    }
    std::vector<korvasim::LoggedTest> tests;
    if (const korvasim::Result parsed = korvasim::parse_verbose_log(text, &tests); !parsed) {
        found.note = "no diagnosis: " + log_path + ": " + parsed.why();
        return found;
    }
    for (const korvasim::LoggedTest& t : tests)
        if (!t.passed)
            found.failure_excerpt[t.test] = excerpt_of(t.lines);
    // Boards that failed alike (a burn-in's retests, a batch with one
    // defect) leave the same log text: each text is diagnosed once.
    auto diagnosis = known->find(text);
    if (diagnosis == known->end()) {
        const std::vector<uint8_t> image(boot_image, boot_image + BOOT_IMAGE_SIZE);
        const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
        diagnosis = known->emplace(text, korvasim::diagnose(image, tests, threads)).first;
    }
    found.faults = diagnosis->second.matches;
    if (found.faults.empty()) {
        found.closest = diagnosis->second.closest;
        found.note = "no single fault explains the log" + (found.closest.empty() ? std::string() : "; closest: " + found.closest);
    }
    return found;
}

DiagnosisWorker::DiagnosisWorker() : thread_([this] { work(); }) {}

DiagnosisWorker::~DiagnosisWorker()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void DiagnosisWorker::work()
{
    std::map<std::string, korvasim::Diagnosis> known;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (stopping_)
            return;
        const Job job = jobs_.front();
        jobs_.pop_front();
        lock.unlock();
        AttemptDiagnosis found = diagnose_log(job.log_path, &known);
        found.board = job.board;
        found.attempt = job.attempt;
        lock.lock();
        done_.push_back(std::move(found));
        done_signal_.notify_all();
    }
}

void DiagnosisWorker::submit(size_t board, int attempt, const std::string& log_path)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back({board, attempt, log_path});
        ++submitted_;
    }
    wake_.notify_all();
}

std::vector<AttemptDiagnosis> DiagnosisWorker::take_done()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<AttemptDiagnosis> taken;
    taken.swap(done_);
    taken_ += taken.size();
    return taken;
}

bool DiagnosisWorker::pending() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return submitted_ > taken_;
}

void DiagnosisWorker::wait(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    done_signal_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !done_.empty(); });
}

} // namespace korvastation
