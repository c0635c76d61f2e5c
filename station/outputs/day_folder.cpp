#include "station/outputs/day_folder.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fstream>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "station/run/installation.h"
#include "station/run/user_messages.h"

namespace korvastation {

using korvasim::Result;

const char DayFolder::RECORDS_FILE[] = "attempts.jsonl";

DayFolder::DayFolder(std::string root, RecordContext context) : root_(std::move(root)), context_(std::move(context)) {}

Result DayFolder::folder_of(std::chrono::system_clock::time_point when, std::string* folder)
{
    *folder = root_ + "/" + day_of(when);
    if (!make_dirs(*folder))
        return Result::failure("cannot make the day's folder " + *folder + ": " + strerror(errno));
    return Result::ok();
}

Result DayFolder::append(const std::string& record_line, const std::string& day)
{
    const std::string folder = root_ + "/" + day;
    if (!make_dirs(folder))
        return Result::failure("cannot make the day's folder " + folder + ": " + strerror(errno));
    const std::string path = folder + "/" + RECORDS_FILE;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return Result::failure("cannot open " + path + ": " + strerror(errno));
    // One write per line: with O_APPEND no other writer's line lands inside it.
    const std::string line = record_line + "\n";
    const ssize_t written = write(fd, line.data(), line.size());
    const int write_errno = errno;
    const bool synced = fsync(fd) == 0;
    const int sync_errno = errno;
    close(fd);
    if (written != static_cast<ssize_t>(line.size()))
        return Result::failure("cannot write a record to " + path + ": " +
                               (written < 0 ? strerror(write_errno) : "the disk took only part of it"));
    if (!synced)
        return Result::failure("cannot write a record to " + path + ": " + strerror(sync_errno));
    return Result::ok();
}

std::vector<StoredAttempt> DayFolder::read_back(size_t days) const
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
    std::vector<StoredAttempt> attempts;
    for (const std::string& folder : folders) {
        std::ifstream records(root_ + "/" + folder + "/" + RECORDS_FILE);
        for (std::string line; std::getline(records, line);) {
            StoredAttempt a;
            if (stored_attempt_of(line, &a))
                attempts.push_back(std::move(a));
        }
    }
    return attempts;
}

void DayFolder::take(const AttemptRecord& attempt)
{
    if (const Result appended = append(json_record(attempt, context_), day_of(attempt.start)); !appended)
        tell_user(appended.why());
}

} // namespace korvastation
