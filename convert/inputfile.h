// Opening an input for reading, and the texts of messages about files.
#pragma once

#include <QString>
#include <string>

// Opens the input for reading: a file, or a pipe, FIFO or socket read as it comes (*stream
// true); "-" is standard input. A terminal or /dev/zero never ends and a directory is no stream,
// so those are refused (errno ENODEV stands for "not a file", ENOTTY for a terminal on standard
// input). The open itself does not wait for a FIFO's writer; the reads do.
int OpenInputFile(const char* path, bool* stream, int* err);

// The text of an errno value.
QString ErrnoText(int err);
// The path as the user's text, for messages.
QString Shown(const std::string& path);
