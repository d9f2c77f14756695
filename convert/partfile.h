// A conversion's unfinished output file: created beside its final name, exclusively and never
// through a link, removed when anything fails or a signal ends the process, and given its name
// only once complete, on the disk and without replacing anything.
#pragma once

#include <string>

// The directory part and the name part of `path`: "a/b.mp4" -> "a", "b.mp4"; "b.mp4" -> ".";
// "/b.mp4" -> "/". The name is empty when the path ends in '/'.
void SplitPath(const std::string& path, std::string* dir, std::string* name);

// The hidden name of the unfinished file for the final name `name`: ".NAME." and six characters
// `random` chooses, NAME cut (not inside a UTF-8 sequence) so that the whole stays within
// `nameMax` bytes.
std::string PartFileName(const std::string& name, size_t nameMax, const char random[6]);

class PartFile {
public:
    PartFile() = default;
    ~PartFile();  // removes the file unless Commit took it
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    // Creates a new file for the final name `name` in the directory open as `dirFd` (kept open
    // by the caller until the end), O_CREAT | O_EXCL | O_NOFOLLOW, mode 0666 less the umask.
    // Returns false with errno set.
    bool Create(int dirFd, const std::string& name);
    int Fd() const { return fd; }
    const std::string& Name() const { return partName; }

    // Writes the file through to the disk, gives it the name `name` in the same directory
    // unless something has that name already (EEXIST then), and writes the directory through.
    // Returns 0 or the errno value of the failure; the file is still ours after a failure.
    int Commit(const std::string& name);
    // Removes the file now (if it still is ours) and closes it.
    void Remove();

private:
    int dirFd = -1;
    int fd = -1;
    std::string partName;
};

// While it lives, every signal that would end the process and that nobody else handles or
// ignores (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
// SIGPIPE, SIGXCPU, SIGIO, SIGPWR, SIGABRT and the real-time ones) removes the PartFile being
// written and then ends the process as it would have; a signal ignored at the start stays
// ignored. SIGXFSZ is ignored, so that a write past the file size limit fails with EFBIG and is
// reported as a write error. One guard at a time.
class RemoveOnSignal {
public:
    RemoveOnSignal();
    ~RemoveOnSignal();
    RemoveOnSignal(const RemoveOnSignal&) = delete;
    RemoveOnSignal& operator=(const RemoveOnSignal&) = delete;
};
