#include "station/outputs/day_folder.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fstream>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "station/run/installation.h"

namespace korvastation {

using korvasim::Result;

const char DayFolder::RECORDS_FILE[] = "attempts.jsonl";
const char DayFolder::EVENTS_FILE[] = "events.jsonl";
const char DayFolder::REPAIRS_FILE[] = "repairs.jsonl";

DayFolder::DayFolder(std::string root, RecordContext context) : root_(std::move(root)), context_(std::move(context)) {}

Result DayFolder::folder_of(std::chrono::system_clock::time_point when, std::string* folder)
{
    *folder = root_ + "/" + day_of(when);
    if (!make_dirs(*folder))
        return Result::failure("cannot make the day's folder " + *folder + ": " + strerror(errno));
    return Result::ok();
}

Result DayFolder::append(const std::string& record_line, const std::string& day, const char* file)
{
    const std::string folder = root_ + "/" + day;
    if (!make_dirs(folder))
        return Result::failure("cannot make the day's folder " + folder + ": " + strerror(errno));
    const std::string path = folder + "/" + file;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return Result::failure("cannot open " + path + ": " + strerror(errno));
    // One write per line: with O_APPEND no other writer's line lands inside
    // it. What the disk took of a line it could not take whole is taken back.
    struct stat before;
    const off_t size = fstat(fd, &before) == 0 ? before.st_size : -1;
    const std::string line = record_line + "\n";
    // A short write is followed by one that tells why (EFBIG, ENOSPC).
    int write_errno = 0;
    for (size_t written = 0; written < line.size() && write_errno == 0;) {
        const ssize_t n = write(fd, line.data() + written, line.size() - written);
        if (n > 0)
            written += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR)
            write_errno = errno;
        else if (n == 0)
            write_errno = ENOSPC;
    }
    const bool synced = write_errno == 0 && fsync(fd) == 0;
    const int sync_errno = synced ? 0 : write_errno ? write_errno : errno;
    if (!synced && size >= 0)
        (void)!ftruncate(fd, size);
    close(fd);
    if (!synced) {
        // A full disk or a size limit: where the records go, in words.
        const std::string why = sync_errno == ENOSPC ? "no space left on " + root_
                              : sync_errno == EFBIG  ? "the file size limit reached in " + root_
                                                     : std::string(strerror(sync_errno)) + " (" + path + ")";
        return Result::failure("cannot write the records: " + why);
    }
    return Result::ok();
}

std::vector<std::string> DayFolder::newest_files(size_t days, const char* file) const
{
    std::vector<std::string> folders;
    if (DIR* root = opendir(root_.c_str())) {
        while (const dirent* entry = readdir(root)) {
            const std::string name = entry->d_name;
            if (name.size() == 10 && name[4] == '-' && name[7] == '-' &&
                name.find_first_not_of("0123456789-") == std::string::npos)
                folders.push_back(name);
        }
        closedir(root);
    }
    std::sort(folders.begin(), folders.end());
    if (folders.size() > days)
        folders.erase(folders.begin(), folders.end() - static_cast<long>(days));
    for (std::string& folder : folders)
        folder = root_ + "/" + folder + "/" + file;
    return folders;
}

namespace {

// Each line of the files that parse reads, in order; a line it cannot
// read (a record cut by a crash) is passed over.
template <typename T>
std::vector<T> lines_of(const std::vector<std::string>& paths, korvasim::Result (*parse)(const std::string&, T*))
{
    std::vector<T> read;
    for (const std::string& path : paths) {
        std::ifstream lines(path);
        for (std::string line; std::getline(lines, line);) {
            T item;
            if (parse(line, &item))
                read.push_back(std::move(item));
        }
    }
    return read;
}

} // namespace

std::vector<StoredAttempt> DayFolder::read_back(size_t days) const
{
    return lines_of(newest_files(days, RECORDS_FILE), stored_attempt_of);
}

std::vector<StationEvent> DayFolder::read_back_events(size_t days) const
{
    return lines_of(newest_files(days, EVENTS_FILE), station_event_of);
}

std::vector<StoredRepair> DayFolder::read_back_repairs(size_t days) const
{
    return lines_of(newest_files(days, REPAIRS_FILE), stored_repair_of);
}

void DayFolder::take(const AttemptRecord& attempt)
{
    waiting_.push_back({json_record(attempt, context_), day_of(attempt.start), RECORDS_FILE});
    retry();
}

void DayFolder::add_event(const StationEvent& event)
{
    waiting_.push_back({json_event(event), event.at.substr(0, 10), EVENTS_FILE});
    retry();
}

void DayFolder::add_repair(const StoredRepair& repair)
{
    waiting_.push_back({json_repair(repair), repair.at.substr(0, 10), REPAIRS_FILE});
    retry();
}

bool DayFolder::retry()
{
    while (!waiting_.empty()) {
        const Waiting& next = waiting_.front();
        if (const Result appended = append(next.line, next.day, next.file); !appended) {
            trouble_ = appended.why();
            return false;
        }
        waiting_.pop_front();
    }
    trouble_.clear();
    return true;
}

} // namespace korvastation
