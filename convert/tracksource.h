// What the muxer asks of the input of one track: read a piece at a time and write the samples it
// completes, so that the muxer can read each input as it comes and let the one that lags behind
// catch up.
#pragma once

#include <QString>
#include <QStringList>

class TrackSource {
public:
    enum class Step {
        kRead,    // read or wrote something
        kIdle,    // a stream has nothing now, or the source waits for its track
        kEnd,     // the input ended; Finish writes what is pending
        kFailed,  // Failure() tells why
    };

    virtual ~TrackSource() = default;

    // Reads the next piece of the input (a stream: what it has now, waiting at most `waitMs`)
    // and writes the samples it completes.
    virtual Step Pump(int waitMs) = 0;
    // Writes what is pending once the input has ended; false on a failure.
    virtual bool Finish() = 0;
    // Seconds of media written so far: the muxer reads the source that lags behind first.
    virtual double WrittenSeconds() const = 0;
    // The descriptor of a stream input, to wait for; -1 for a file.
    virtual int StreamFd() const = 0;

    // Why the source failed; the warnings it has to give.
    const QString& Failure() const { return failure; }
    const QStringList& Warnings() const { return warnings; }

protected:
    QString failure;
    QStringList warnings;
};
