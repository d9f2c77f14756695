#include "convert/timestamps.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <numeric>

namespace {

// A timestamp file holds a line a picture: this is millions of pictures, far more than any
// recording; larger is not such a file.
constexpr size_t kMaxFileBytes = 256u << 20;
// Milliseconds before the point, at most: about 31 years.
constexpr size_t kMaxWholeDigits = 12;

// [begin, end) without the blanks around it.
void Trim(const char*& begin, const char*& end) {
    while (begin < end && (*begin == ' ' || *begin == '\t' || *begin == '\r')) ++begin;
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r')) --end;
}

// The line from `pos` on, trimmed, with `pos` moved past its end; false when none is left.
bool NextLine(const char* data, size_t size, size_t& pos, const char*& begin, const char*& end) {
    if (pos >= size) return false;
    const char* nl = static_cast<const char*>(memchr(data + pos, '\n', size - pos));
    begin = data + pos;
    end = nl ? nl : data + size;
    pos = size_t(end - data) + 1;
    Trim(begin, end);
    return true;
}

// A time of whole milliseconds and a fraction fn/fd of one, to the nearest microsecond.
uint64_t Microseconds(uint64_t whole, uint64_t fn, uint64_t fd) {
    return whole * 1000 + (fn * 1000 * 2 + fd) / (2 * fd);
}

// The header's version, case and blanks aside: "# timecode format vN" or
// "# timestamp format vN"; 0 for anything else.
int HeaderVersion(const char* begin, const char* end) {
    if (end - begin >= 3 && memcmp(begin, "\xEF\xBB\xBF", 3) == 0) begin += 3;  // a BOM
    Trim(begin, end);
    std::string words;
    for (const char* p = begin; p < end; ++p) {
        const char c = char(tolower(static_cast<unsigned char>(*p)));
        if (c == ' ' || c == '\t') {
            if (!words.empty() && words.back() != ' ') words += ' ';
        } else {
            words += c;
        }
    }
    if (words.size() > 1 && words[1] != ' ') words.insert(1, " ");  // "#timecode"
    for (const char* kind : {"# timecode format v", "# timestamp format v"}) {
        const std::string k = kind;
        if (words.size() == k.size() + 1 && words.compare(0, k.size(), k) == 0) {
            if (words.back() == '1') return 1;
            if (words.back() == '2') return 2;
        }
    }
    return 0;
}

// A decimal number "123", "123.456": its whole part and its fraction as num/den (den a power of
// ten, at most 10^9; further digits are rounded). False for anything else.
bool ParseDecimal(const char* begin, const char* end, uint64_t* whole, uint64_t* fracNum,
                  uint64_t* fracDen) {
    const char* p = begin;
    *whole = 0;
    size_t digits = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p, ++digits) {
        if (digits >= kMaxWholeDigits) return false;
        *whole = *whole * 10 + uint64_t(*p - '0');
    }
    *fracNum = 0;
    *fracDen = 1;
    bool roundUp = false;
    if (p < end && *p == '.') {
        ++p;
        size_t fracDigits = 0;
        for (; p < end && *p >= '0' && *p <= '9'; ++p, ++fracDigits) {
            if (fracDigits < 9) {
                *fracNum = *fracNum * 10 + uint64_t(*p - '0');
                *fracDen *= 10;
            } else if (fracDigits == 9) {
                roundUp = *p >= '5';
            }
        }
        digits += fracDigits;
    }
    if (p != end || digits == 0) return false;
    if (roundUp && ++*fracNum == *fracDen) {
        *fracNum = 0;
        ++*whole;
    }
    return true;
}

// A rate "30", "29.97": num/den frames per second, over 0 and at most 1000.
bool ParseRate(const char* begin, const char* end, uint32_t* num, uint32_t* den) {
    Trim(begin, end);
    uint64_t whole, fn, fd;
    if (!ParseDecimal(begin, end, &whole, &fn, &fd) || whole > 1000) return false;
    uint64_t n = whole * fd + fn, d = fd;
    const uint64_t g = std::gcd(n, d);
    if (n == 0) return false;
    n /= g;
    d /= g;
    if (n > UINT32_MAX || d > UINT32_MAX || n > 1000 * d) return false;
    *num = uint32_t(n);
    *den = uint32_t(d);
    return true;
}

// A picture number of a v1 range.
bool ParseCount(const char* begin, const char* end, uint64_t* n) {
    Trim(begin, end);
    uint64_t whole, fn, fd;
    if (!ParseDecimal(begin, end, &whole, &fn, &fd) || fd != 1) return false;
    *n = whole;
    return true;
}

QString Shown(const char* begin, const char* end) {
    QString s = QString::fromUtf8(begin, int(std::min<ptrdiff_t>(end - begin, 40)));
    return end - begin > 40 ? s + QStringLiteral("...") : s;
}

}  // namespace

bool TimestampFile::Fail(size_t line, const QString& what) {
    times.clear();
    ranges.clear();
    error = line ? QStringLiteral("%1:%2: %3").arg(name).arg(line).arg(what)
                 : QStringLiteral("%1: %2").arg(name, what);
    return false;
}

bool TimestampFile::Read(const std::string& path) {
    name = QFile::decodeName(QByteArray::fromStdString(path));
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0) return Fail(0, QString::fromLocal8Bit(strerror(errno)));
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    std::unique_ptr<char[]> data;  // not cleared first: every byte is read into
    size_t n = 0;
    if (regular && uint64_t(st.st_size) <= kMaxFileBytes) {
        const size_t size = size_t(st.st_size);
        data.reset(new char[size + 1]);
        for (ssize_t r; n < size; n += size_t(r)) {
            r = read(fd, data.get() + n, size - n);
            if (r < 0 && errno == EINTR)
                r = 0;
            else if (r <= 0)
                break;
        }
    }
    close(fd);
    if (!regular) return Fail(0, QStringLiteral("not a regular file"));
    if (uint64_t(st.st_size) > kMaxFileBytes)
        return Fail(0, QStringLiteral("larger than 256 MiB: not a timestamp file"));
    return Parse(data.get(), n, name);
}

bool TimestampFile::Parse(const char* data, size_t size, const QString& fileName) {
    name = fileName;
    error.clear();
    times.clear();
    ranges.clear();
    version = 0;
    size_t pos = 0, line = 1;
    const char* nl = static_cast<const char*>(memchr(data, '\n', size));
    const size_t headerEnd = nl ? size_t(nl - data) : size;
    version = HeaderVersion(data, data + headerEnd);
    if (version == 0)
        return Fail(1, QStringLiteral("not a timestamp file: the first line is not "
                                      "\"# timestamp format v2\" or \"# timecode format v1\""));
    pos = headerEnd + 1;
    return version == 2 ? ParseV2(data, size, pos, line) : ParseV1(data, size, pos, line);
}

bool TimestampFile::ParseV2(const char* data, size_t size, size_t& pos, size_t& line) {
    // Microseconds, rounded; the order of the lines is the capture order, not necessarily the
    // presentation order, so they are sorted below.
    if (pos < size) times.reserve(size_t(std::count(data + pos, data + size, '\n')) + 1);
    const char *begin, *end;
    while (NextLine(data, size, pos, begin, end)) {
        ++line;
        if (begin == end || *begin == '#') continue;
        if (*begin == '-')
            return Fail(line, QStringLiteral("negative time: %1").arg(Shown(begin, end)));
        uint64_t whole, fn, fd;
        if (!ParseDecimal(begin, end, &whole, &fn, &fd))
            return Fail(line,
                        QStringLiteral("not a time in milliseconds: %1").arg(Shown(begin, end)));
        times.push_back(Microseconds(whole, fn, fd));
    }
    if (times.empty()) return Fail(0, QStringLiteral("no times"));
    const bool sorted = std::is_sorted(times.begin(), times.end());
    if (!sorted) std::sort(times.begin(), times.end());
    const auto dup = std::adjacent_find(times.begin(), times.end());
    if (dup != times.end()) {
        // Which line: the second with that time, found again.
        const uint64_t same = *dup;
        size_t seen = 0, at = 0, p = 0, l = 1;
        const char* nl = static_cast<const char*>(memchr(data, '\n', size));
        p = nl ? size_t(nl - data) + 1 : size;
        const char *b, *e;
        while (seen < 2 && NextLine(data, size, p, b, e)) {
            ++l;
            uint64_t w, n, d;
            if (b == e || *b == '#' || !ParseDecimal(b, e, &w, &n, &d)) continue;
            if (Microseconds(w, n, d) == same && ++seen == 2) at = l;
        }
        return Fail(at, QStringLiteral("the same time as an earlier line (%1 ms)")
                            .arg(double(same) / 1000.0, 0, 'f', 3));
    }
    const uint64_t first = times.front();
    for (uint64_t& t : times) t -= first;
    return true;
}

bool TimestampFile::ParseV1(const char* data, size_t size, size_t& pos, size_t& line) {
    bool assumed = false;
    const char *begin, *end;
    while (NextLine(data, size, pos, begin, end)) {
        ++line;
        if (begin == end || *begin == '#') continue;
        if (!assumed) {
            if (end - begin < 7 || strncasecmp(begin, "assume", 6) != 0 ||
                (begin[6] != ' ' && begin[6] != '\t') ||
                !ParseRate(begin + 7, end, &assumeNum, &assumeDen))
                return Fail(line,
                            QStringLiteral("expected \"assume RATE\": %1").arg(Shown(begin, end)));
            assumed = true;
            continue;
        }
        const char* c1 = static_cast<const char*>(memchr(begin, ',', size_t(end - begin)));
        const char* c2 =
            c1 ? static_cast<const char*>(memchr(c1 + 1, ',', size_t(end - c1 - 1))) : nullptr;
        Range r{};
        if (!c2 || !ParseCount(begin, c1, &r.first) || !ParseCount(c1 + 1, c2, &r.last) ||
            !ParseRate(c2 + 1, end, &r.fpsNum, &r.fpsDen))
            return Fail(line,
                        QStringLiteral("expected \"START,END,RATE\": %1").arg(Shown(begin, end)));
        if (r.last < r.first || (!ranges.empty() && r.first <= ranges.back().last))
            return Fail(line,
                        QStringLiteral("the range is not ascending: %1").arg(Shown(begin, end)));
        ranges.push_back(r);
    }
    if (!assumed) return Fail(0, QStringLiteral("no \"assume RATE\" line"));
    return true;
}

bool IsTimestampFile(const QString& path) {
    // Only a file is read: opening a FIFO would wait for its writer.
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    char start[256];
    struct stat st;
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = read(fd, start, sizeof start);
    close(fd);
    if (n <= 0) return false;
    const char* nl = static_cast<const char*>(memchr(start, '\n', size_t(n)));
    return HeaderVersion(start, nl ? nl : start + n) != 0;
}
