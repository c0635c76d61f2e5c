#include "station/outputs/record_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvastation {

using korvasim::Result;

RecordFile::~RecordFile()
{
    if (file_)
        fclose(file_);
}

Result RecordFile::open(const std::string& path, bool append)
{
    path_ = path;
    file_ = fopen(path.c_str(), append ? "a" : "w");
    if (!file_)
        return Result::failure("cannot open " + path + " for the records: " + strerror(errno));
    return Result::ok();
}

Result RecordFile::write(const std::string& text)
{
    FILE* file = file_;
    file_ = nullptr;
    const bool written = fwrite(text.data(), 1, text.size(), file) == text.size() && fflush(file) == 0;
    const int error = errno;
    const bool closed = fclose(file) == 0;
    if (!written || !closed)
        return Result::failure("cannot write the records to " + path_ + ": " + strerror(written ? errno : error));
    return Result::ok();
}

RecordFilesSink::RecordFilesSink(Format format, RecordContext context, std::vector<std::string> boards)
    : format_(format), context_(std::move(context)), boards_(std::move(boards))
{
}

Result RecordFilesSink::open(const std::string& path, bool append)
{
    return file_.open(path, append);
}

void RecordFilesSink::take(const AttemptRecord& attempt)
{
    taken_.push_back(attempt);
}

Result RecordFilesSink::finish(const std::function<bool()>&)
{
    if (!file_.is_open())
        return Result::ok();
    // Board by board as the command line named them, each board's attempts in turn.
    auto place = [&](const AttemptRecord& r) {
        return std::make_pair(std::find(boards_.begin(), boards_.end(), r.board.label) - boards_.begin(), r.retest);
    };
    std::stable_sort(taken_.begin(), taken_.end(),
                     [&](const AttemptRecord& a, const AttemptRecord& b) { return place(a) < place(b); });
    return file_.write(format_ == Format::JSON ? json_records(taken_, context_) : junit_report(taken_));
}

} // namespace korvastation
