// Removing a conversion's unfinished output file when a signal ends the process.
#pragma once

#include <QString>

// While it lives, SIGINT, SIGTERM and SIGHUP remove the file at `path` (the converter's
// "<output>.part") and then end the process as they would have. One guard at a time.
class RemoveOnSignal {
public:
    explicit RemoveOnSignal(const QString& path);
    ~RemoveOnSignal();
    RemoveOnSignal(const RemoveOnSignal&) = delete;
    RemoveOnSignal& operator=(const RemoveOnSignal&) = delete;

private:
    bool armed = false;
};
