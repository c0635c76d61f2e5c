// A test's own time zone, for as long as the object lives: local times in
// the records are compared with text written in that zone, whatever zone
// the machine running the suite is in.
#ifndef KORVA_TESTS_TIME_ZONE_H
#define KORVA_TESTS_TIME_ZONE_H

#include <cstdlib>
#include <ctime>
#include <string>

class ScopedTimeZone {
public:
    // tz: a POSIX TZ value ("UTC0", "CET-1"), which needs no zone files.
    explicit ScopedTimeZone(const char* tz)
    {
        const char* was = getenv("TZ");
        had_ = was != nullptr;
        saved_ = was ? was : "";
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTimeZone()
    {
        if (had_)
            setenv("TZ", saved_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::string saved_;
    bool had_ = false;
};

#endif
