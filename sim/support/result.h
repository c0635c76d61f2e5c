// What a parser or a run gives back: success, or why not, in one line that
// names what failed. Construction and programming errors are exceptions.
#ifndef KORVASIM_RESULT_H
#define KORVASIM_RESULT_H

#include <string>
#include <utility>

namespace korvasim {

class Result {
public:
    static Result ok() { return Result(); }
    static Result failure(std::string why)
    {
        Result result;
        result.failed_ = true;
        result.why_ = std::move(why);
        return result;
    }

    explicit operator bool() const { return !failed_; }
    const std::string& why() const { return why_; }

private:
    bool failed_ = false;
    std::string why_;
};

} // namespace korvasim

#endif
