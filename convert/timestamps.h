// Timestamp files written beside a stream: one presentation time per picture.
//   format v2: a header line "# timecode format v2" or "# timestamp format v2", then one time
//              in milliseconds a line (any number of decimals); blank lines and lines that
//              begin with # are passed over.
//   format v1: a header line "# timecode format v1" (or "timestamp"), "assume R" (frames per
//              second), then "start,end,R" lines: pictures start..end (counted from 0) at R,
//              the others at the assumed rate.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TimestampFile {
public:
    struct Range {
        uint64_t first, last;  // picture numbers, both included
        uint32_t fpsNum, fpsDen;
    };

    // Reads the file (its name's bytes); false, with Error(), when it cannot be read or is
    // malformed.
    bool Read(const std::string& path);
    // Reads a file's content; `name` is what the errors call it.
    bool Parse(const char* data, size_t size, const QString& name);
    // One line naming the file and the line, when Read or Parse failed.
    const QString& Error() const { return error; }

    int Version() const { return version; }
    // v2: the times in microseconds, ascending, the first 0 (relative to the smallest).
    const std::vector<uint64_t>& Times() const { return times; }
    std::vector<uint64_t> TakeTimes() { return std::move(times); }
    // v1: the assumed rate and the ranges, ascending.
    uint32_t AssumedNum() const { return assumeNum; }
    uint32_t AssumedDen() const { return assumeDen; }
    const std::vector<Range>& Ranges() const { return ranges; }

private:
    bool Fail(size_t line, const QString& what);
    bool ParseV2(const char* data, size_t size, size_t& pos, size_t& line);
    bool ParseV1(const char* data, size_t size, size_t& pos, size_t& line);

    QString name;
    QString error;
    int version = 0;
    std::vector<uint64_t> times;
    uint32_t assumeNum = 0, assumeDen = 0;
    std::vector<Range> ranges;
};

// Whether the file's first line is a v1 or v2 header (reads only the start of the file).
bool IsTimestampFile(const QString& path);
