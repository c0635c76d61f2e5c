#include "station/run/power_command.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <wordexp.h>

#include "station/run/station_settings.h"

namespace korvastation {

using korvasim::Result;
using Clock = std::chrono::steady_clock;

namespace {

const char* const PLACEHOLDERS[] = {"{port}", "{label}", "{switch}"};
// The placeholders while the words are split: braces are the shell's own.
const char* const SPLIT_TOKENS[] = {"KORVA_PORT_@", "KORVA_LABEL_@", "KORVA_SWITCH_@"};
const size_t MAX_LINE = 200;
// What one command may write into the board's power log: a relay's tool says
// a line or two; anything more is noise that would swamp the disk.
const size_t MAX_LOGGED = 64 * 1024;

std::string shell_quoted(const std::string& value)
{
    std::string quoted = "'";
    for (char c : value)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Each of the marks in word replaced by its value.
std::string filled(const std::string& word, const char* const (&marks)[3], const std::string (&values)[3])
{
    std::string out;
    for (size_t at = 0; at < word.size();) {
        bool replaced = false;
        for (size_t k = 0; k < 3 && !replaced; ++k)
            if (word.compare(at, std::char_traits<char>::length(marks[k]), marks[k]) == 0) {
                out += values[k];
                at += std::char_traits<char>::length(marks[k]);
                replaced = true;
            }
        if (!replaced)
            out += word[at++];
    }
    return out;
}

} // namespace

Result PowerCommandLine::parse(const std::string& option, const std::string& text, bool shell,
                               const std::string& shell_named_by)
{
    option_ = option;
    shell_ = shell;
    // A {name} that is no placeholder is a typing error, not a word to pass on.
    for (size_t open = text.find('{'); open != std::string::npos; open = text.find('{', open + 1)) {
        const size_t close = text.find('}', open);
        if (close == std::string::npos)
            break;
        const std::string name = text.substr(open, close - open + 1);
        bool letters = close > open + 1;
        for (size_t i = open + 1; i < close; ++i)
            letters = letters && (islower(static_cast<unsigned char>(text[i])) || text[i] == '_');
        if (letters && name != "{port}" && name != "{label}" && name != "{switch}")
            return Result::failure("unknown placeholder " + name + " in " + option +
                                   " (known: {port}, {label}, {switch})");
    }
    uses_switch_ = text.find("{switch}") != std::string::npos;
    words_.clear();
    if (shell) {
        words_ = {"/bin/sh", "-c", text};
    } else {
        // The C library's word splitting: quotes and variables as the shell
        // has them, and no command is ever run by it (WRDE_NOCMD).
        const std::string tokens[] = {SPLIT_TOKENS[0], SPLIT_TOKENS[1], SPLIT_TOKENS[2]};
        wordexp_t split;
        const int error = wordexp(filled(text, PLACEHOLDERS, tokens).c_str(), &split, WRDE_NOCMD | WRDE_UNDEF);
        if (error == 0) {
            for (size_t i = 0; i < split.we_wordc; ++i)
                words_.push_back(split.we_wordv[i]);
            wordfree(&split);
        } else if (error == WRDE_NOSPACE) {
            wordfree(&split);
        }
        if (error != 0 || words_.empty())
            return Result::failure("bad " + option + " '" + text + "': " +
                                   (error == WRDE_CMDSUB ? "command substitution needs " + shell_named_by
                                    : error == WRDE_BADVAL ? std::string("an undefined variable")
                                    : error == 0 ? std::string("no command")
                                                 : "unbalanced quotes or a character that needs " + shell_named_by));
    }
    return Result::ok();
}

Result PowerCommandLine::check_program() const
{
    if (words_.empty())
        return Result::ok();
    const std::string& program = words_[0];
    if (program.find("KORVA_") != std::string::npos)
        return Result::ok();  // named by a placeholder: known only per board
    std::vector<std::string> candidates;
    if (program.find('/') != std::string::npos) {
        candidates.push_back(program);
    } else {
        const std::string path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
        for (size_t start = 0; start <= path.size();) {
            const size_t end = std::min(path.find(':', start), path.size());
            candidates.push_back((end > start ? path.substr(start, end - start) : ".") + "/" + program);
            start = end + 1;
        }
    }
    struct stat file;
    for (const std::string& candidate : candidates)
        if (stat(candidate.c_str(), &file) == 0 && S_ISREG(file.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return Result::ok();
    const bool exists = program.find('/') != std::string::npos && access(program.c_str(), F_OK) == 0;
    return Result::failure(option_ + ": cannot run '" + program + "': " +
                           (exists ? "it is not executable"
                                   : program.find('/') != std::string::npos ? "no such file" : "not found on PATH"));
}

std::vector<std::string> PowerCommandLine::for_board(const BoardSpec& board) const
{
    const std::string values[] = {board.port, board.label, board.power_switch};
    const std::string quoted[] = {shell_quoted(board.port), shell_quoted(board.label),
                                  shell_quoted(board.power_switch)};
    std::vector<std::string> words;
    for (size_t i = 0; i < words_.size(); ++i)
        words.push_back(shell_ ? filled(words_[i], PLACEHOLDERS, i == 2 ? quoted : values)
                               : filled(words_[i], SPLIT_TOKENS, values));
    return words;
}

PowerCommandRun::PowerCommandRun(const PowerCommandLine& line, const BoardSpec& board, double timeout_s, FILE* log,
                                 Clock::time_point now)
    : timeout_s_(timeout_s), log_(log)
{
    const std::vector<std::string> words = line.for_board(board);
    std::string shown;
    for (const std::string& w : words)
        shown += (shown.empty() ? "" : " ") + w;
    name_ = line.option() + " command '" + shown + "'";
    if (log_)
        fprintf(log_, "$ %s\n", shown.c_str());
    deadline_ = now + std::chrono::milliseconds(static_cast<long>(timeout_s * 1000));
    try {
        child_ = std::make_unique<ChildProcess>(words[0], std::vector<std::string>(words.begin() + 1, words.end()),
                                                true);
    } catch (const std::exception& e) {
        over_ = true;
        failure_ = line.option() + " command: " + e.what();
        if (log_)
            fprintf(log_, "(%s)\n", e.what());
    }
}

std::vector<int> PowerCommandRun::fds() const
{
    std::vector<int> fds;
    if (child_ && !over_)
        for (int fd : {child_->out_fd(), child_->err_fd()})
            if (fd >= 0)
                fds.push_back(fd);
    return fds;
}

void PowerCommandRun::take_output(const std::string& text)
{
    if (text.empty())
        return;
    if (log_ && logged_ < MAX_LOGGED) {
        const size_t kept = std::min(text.size(), MAX_LOGGED - logged_);
        fwrite(text.data(), 1, kept, log_);
        logged_ += kept;
        if (logged_ == MAX_LOGGED)
            fprintf(log_, "\n(the rest of its output is not kept: more than %zu KiB)\n", MAX_LOGGED / 1024);
    }
    partial_ += text;
    for (size_t end; (end = partial_.find('\n')) != std::string::npos; partial_.erase(0, end + 1))
        if (end > 0)
            last_line_ = partial_.substr(0, std::min(end, MAX_LINE));
    if (partial_.size() > MAX_LINE)
        partial_.erase(0, partial_.size() - MAX_LINE);
}

bool PowerCommandRun::advance(Clock::time_point now)
{
    if (over_)
        return true;
    std::string text;
    child_->read_out(&text);
    child_->read_err(&text);
    take_output(text);
    // The command is over when it ends, even if something it started in the
    // background still holds its output open.
    if (child_->reap()) {
        over_ = true;
        if (!partial_.empty())
            last_line_ = partial_;
        const int status = child_->status();
        if (log_)
            fprintf(log_, "(exit status %d)\n", status);
        if (kill(-child_->pid(), 0) == 0) {
            child_->signal_group(SIGKILL);
            if (log_)
                fprintf(log_, "(it left processes running; they were ended)\n");
        }
        if (status != 0)
            failure_ = name_ + " failed with status " + std::to_string(status) +
                       (last_line_.empty() ? "" : ": " + last_line_);
    } else if (now >= deadline_) {
        child_->signal_group(SIGKILL);
        over_ = true;
        char seconds[32];
        snprintf(seconds, sizeof seconds, "%g s", timeout_s_);
        failure_ = name_ + " did not finish in " + seconds;
        if (log_)
            fprintf(log_, "(killed after %s)\n", seconds);
    }
    if (over_ && log_)
        fflush(log_);
    return over_;
}

} // namespace korvastation
