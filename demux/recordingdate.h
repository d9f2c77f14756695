// When a recording began: from the dates a DVR writes into its frames, from a camera's or an
// app's file name, or as the user gives it. The MP4 keeps it as seconds since 1970 in UTC.
//
// Recorders and apps write the wall-clock time of the place they stand in, and say nothing of
// its time zone: a DVR's on-screen clock, the names cameras and phones give their files. Such a
// time is read in the machine's local time zone, the one the recorder most likely shared with
// the person converting its files; `--date` with `Z` or an offset says otherwise.
#pragma once

#include <cstdint>
#include <string>

// A date and time of day as a clock shows it, without a time zone.
struct CivilTime {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Whether it names a second that exists (years 1970..2099, the month's days, leap years).
bool IsValidCivilTime(const CivilTime& t);
// Seconds since 1970-01-01 00:00:00 of the clock time read as UTC (valid times only).
int64_t CivilSeconds(const CivilTime& t);
// The same read in the machine's local time zone; false when it cannot be converted. An hour
// that the change to summer time skips is taken as the zone's rules give it.
bool LocalCivilSeconds(const CivilTime& t, int64_t* utcSeconds);

struct RecordingDate {
    enum class Source : uint8_t {
        None,        // unknown: the MP4's times stay 0
        Recorder,    // the recorder's dates in the file's frames
        CameraName,  // a camera's file name: A<yymmdd>_<hhmmss>_<hhmmss>
        FileName,    // a date and time in a file's name
        User,        // given by hand
    };
    Source source = Source::None;
    int64_t utcSeconds = 0;
    bool Known() const { return source != Source::None; }
};

// The date and time in a file's name (without its directory), the first one from the left:
// a camera's A<yymmdd>_<hhmmss>_<hhmmss> (its start), 2026-12-07-14.03.59 (the window's own
// output names), 20261207_140359 or 20261207-140359 (VID_20261207_140359 and the like from phones
// and apps), 20261207140359 (DVR exports). Digits that run on into more digits do not count.
// `camera` tells whether it was a camera's name.
bool DateInFileName(const std::string& name, CivilTime* when, bool* camera);

// A date the user gives: "2026-12-07 14:03:59" (or with 'T', without seconds) in local time,
// followed by 'Z' for UTC or by an offset "+01:00", "-0530". False for anything else.
bool ParseDateText(const std::string& text, int64_t* utcSeconds);
