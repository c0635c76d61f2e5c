// A batch's record files: the JSON records and the JUnit report, opened
// before the first board starts, so that a path that cannot be written is
// refused before hours of testing, and written once at the end with every
// attempt, board by board, every step checked.
#ifndef KORVASTATION_RECORD_FILES_H
#define KORVASTATION_RECORD_FILES_H

#include <cstdio>
#include <string>
#include <vector>

#include "station/outputs/attempt_sink.h"
#include "station/outputs/records.h"

namespace korvastation {

class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    korvasim::Result open(const std::string& path, bool append);
    // Writes text and closes the file; a failure names the file.
    korvasim::Result write(const std::string& text);
    bool is_open() const { return file_ != nullptr; }

private:
    FILE* file_ = nullptr;
    std::string path_;
};

class RecordFilesSink : public AttemptSink {
public:
    enum class Format { JSON, JUNIT };
    // boards: the labels in the order the files list them.
    RecordFilesSink(Format format, RecordContext context, std::vector<std::string> boards);
    korvasim::Result open(const std::string& path, bool append);

    void take(const AttemptRecord& attempt) override;
    korvasim::Result finish(const std::function<bool()>& keep_waiting) override;

private:
    Format format_;
    RecordContext context_;
    std::vector<std::string> boards_;
    RecordFile file_;
    std::vector<AttemptRecord> taken_;
};

} // namespace korvastation

#endif
