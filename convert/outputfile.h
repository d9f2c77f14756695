// Where a conversion's MP4 file goes: a new file under a hidden name beside the final one, which
// takes its name only once it is whole and on the disk; a recording's too, which takes its name
// as soon as its first fragment is on the disk and is written on under it; a character device
// (/dev/null) named as such, or standard output, written in place. Nothing already there is
// written through or replaced.
#pragma once

#include <QString>
#include <functional>
#include <string>

#include "convert/partfile.h"

class OutputFile {
public:
    // `name`: the final path, which `otherName` may change to another one in the same directory
    // when it is taken (returning false when there is none).
    OutputFile(std::string& name, std::function<bool()> otherName);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the file for writing, for a fragmented file and for a recording when asked.
    // Returns its descriptor, or -1 with Error() telling why.
    int Create(bool fragmented, bool recording);
    // A recording's first fragment is on the disk: the file takes its final name and keeps it,
    // whatever happens next. False with Error() telling why; the file is then removed.
    bool Publish();
    bool Published() const { return published; }
    // Whether the output is a device or standard output, written in place.
    bool InPlace() const { return device; }
    // The file is complete and has reached the disk: it takes its name (a recording keeps it).
    // False with Error() telling why.
    bool Commit();
    const QString& Error() const { return error; }

private:
    std::string& name;
    std::function<bool()> otherName;
    bool device = false;
    bool recording = false;
    bool published = false;
    int dirFd = -1;
    PartFile part;
    QString error;
};
