#include "demux/recordingdate.h"

#include <cctype>
#include <cstring>
#include <ctime>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool LeapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && LeapYear(y) ? 29 : days[m - 1];
}

// Days from 1970-01-01 to the date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The digits of `s` from `pos` on when they follow `pattern` ('d' a digit, anything else
// itself) and no digit follows; empty otherwise.
std::string Match(const std::string& s, size_t pos, const char* pattern) {
    std::string digits;
    const size_t n = strlen(pattern);
    if (pos + n > s.size()) return {};
    for (size_t k = 0; k < n; ++k) {
        const char c = s[pos + k];
        if (pattern[k] == 'd') {
            if (!IsDigit(c)) return {};
            digits += c;
        } else if (c != pattern[k]) {
            return {};
        }
    }
    if (pos + n < s.size() && IsDigit(s[pos + n])) return {};
    return digits;
}

int Number(const std::string& digits, size_t from, size_t count) {
    int v = 0;
    for (size_t i = from; i < from + count; ++i) v = v * 10 + (digits[i] - '0');
    return v;
}

// Year (4 digits, or 2 after 2000), then month, day, hour, minute, second of 2 digits each.
bool FromDigits(const std::string& digits, bool twoDigitYear, CivilTime* t) {
    const size_t y = twoDigitYear ? 2 : 4;
    if (digits.size() < y + 10) return false;
    CivilTime r;
    r.year = Number(digits, 0, y) + (twoDigitYear ? 2000 : 0);
    r.month = Number(digits, y, 2);
    r.day = Number(digits, y + 2, 2);
    r.hour = Number(digits, y + 4, 2);
    r.minute = Number(digits, y + 6, 2);
    r.second = Number(digits, y + 8, 2);
    if (!IsValidCivilTime(r)) return false;
    *t = r;
    return true;
}

// Reads exactly `count` digits at `*p`.
bool Digits(const char*& p, int count, int* value) {
    int v = 0;
    for (int i = 0; i < count; ++i, ++p) {
        if (!IsDigit(*p)) return false;
        v = v * 10 + (*p - '0');
    }
    *value = v;
    return true;
}

}  // namespace

bool IsValidCivilTime(const CivilTime& t) {
    return t.year >= 1970 && t.year <= 2099 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
           t.day <= DaysInMonth(t.year, t.month) && t.hour >= 0 && t.hour < 24 && t.minute >= 0 &&
           t.minute < 60 && t.second >= 0 && t.second < 60;
}

int64_t CivilSeconds(const CivilTime& t) {
    return DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

bool LocalCivilSeconds(const CivilTime& t, int64_t* utcSeconds) {
    if (!IsValidCivilTime(t)) return false;
    struct tm tm {};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;  // as the zone's rules have it on that date
    const time_t s = mktime(&tm);
    if (s == time_t(-1)) return false;
    *utcSeconds = int64_t(s);
    return true;
}

bool DateInFileName(const std::string& name, CivilTime* when, bool* camera) {
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == 'A') {
            const std::string d = Match(name, i + 1, "dddddd_dddddd_dddddd");
            if (!d.empty() && FromDigits(d, true, when)) {
                *camera = true;
                return true;
            }
        }
        if (!IsDigit(name[i]) || (i > 0 && IsDigit(name[i - 1]))) continue;
        for (const char* pattern :
             {"dddd-dd-dd-dd.dd.dd", "dddddddd_dddddd", "dddddddd-dddddd", "dddddddddddddd"}) {
            const std::string d = Match(name, i, pattern);
            if (!d.empty() && FromDigits(d, false, when)) {
                *camera = false;
                return true;
            }
        }
    }
    return false;
}

bool ParseDateText(const std::string& text, int64_t* utcSeconds) {
    size_t a = 0, b = text.size();
    while (a < b && isspace(static_cast<unsigned char>(text[a]))) ++a;
    while (b > a && isspace(static_cast<unsigned char>(text[b - 1]))) --b;
    const std::string s = text.substr(a, b - a);
    const char* p = s.c_str();
    CivilTime t;
    if (!Digits(p, 4, &t.year) || *p++ != '-' || !Digits(p, 2, &t.month) || *p++ != '-' ||
        !Digits(p, 2, &t.day))
        return false;
    if (*p != ' ' && *p != 'T') return false;
    ++p;
    if (!Digits(p, 2, &t.hour) || *p++ != ':' || !Digits(p, 2, &t.minute)) return false;
    if (*p == ':') {
        ++p;
        if (!Digits(p, 2, &t.second)) return false;
    }
    if (!IsValidCivilTime(t)) return false;
    if (*p == '\0') return LocalCivilSeconds(t, utcSeconds);
    if ((*p == 'Z' || *p == 'z') && p[1] == '\0') {
        *utcSeconds = CivilSeconds(t);
        return true;
    }
    if (*p != '+' && *p != '-') return false;
    const int sign = *p++ == '-' ? -1 : 1;
    int hours = 0, minutes = 0;
    if (!Digits(p, 2, &hours)) return false;
    if (*p == ':') ++p;
    if (*p != '\0' && !Digits(p, 2, &minutes)) return false;
    if (*p != '\0' || hours > 14 || minutes > 59) return false;
    *utcSeconds = CivilSeconds(t) - sign * (hours * 3600 + minutes * 60);
    return true;
}
