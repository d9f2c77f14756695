// Where a conversion's MP4 file goes: a new file under a hidden name beside the final one, which
// takes its name only once it is whole and on the disk; a recording's file under its final name
// from the start, removed only when it holds no fragment; a character device (/dev/null) named as
// such, or standard output, written in place. Nothing already there is written through or
// replaced.
#pragma once

#include <QString>
#include <functional>
#include <string>

#include "convert/partfile.h"

class OutputFile {
public:
    // `name`: the final path, which `otherName` may change to another one in the same directory
    // when it is taken (returning false when there is none). `holdsFragments` tells, when the
    // object goes, whether a recording's file is to stay.
    OutputFile(std::string& name, std::function<bool()> otherName,
               std::function<bool()> holdsFragments);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the file for writing: a fragmented one, and a recording's under its final name.
    // Returns its descriptor, or -1 with Error() telling why.
    int Create(bool fragmented, bool recording);
    // Whether the output is a device or standard output, written in place.
    bool InPlace() const { return device; }
    // The file is complete and has reached the disk: it takes its name (a recording keeps it).
    // False with Error() telling why.
    bool Commit();
    const QString& Error() const { return error; }

private:
    std::string& name;
    std::function<bool()> otherName;
    std::function<bool()> holdsFragments;
    bool device = false;
    bool recording = false;
    bool keep = false;
    int dirFd = -1;
    PartFile part;
    std::string created;  // a recording's name in the directory
    QString error;
};
