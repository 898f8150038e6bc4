#include "subtitles/Scan.h"

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <string>

namespace kalvex {

namespace {

bool IsSpace(QChar c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

int HexValue(QChar c) {
    ushort u = c.unicode();
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    return -1;
}

// Reads a decimal integer at input[i...]; false when no digit follows.
bool ReadDecimal(QStringView in, qsizetype& i, qint64 lo, qint64 hi, qint64& out) {
    qsizetype p = i;
    bool neg = false;
    if (p < in.size() && (in[p] == '+' || in[p] == '-')) neg = in[p++] == '-';
    if (p >= in.size() || in[p].unicode() < '0' || in[p].unicode() > '9') return false;
    qint64 v = 0;
    bool saturated = false;
    while (p < in.size() && in[p].unicode() >= '0' && in[p].unicode() <= '9') {
        if (!saturated) {
            v = v * 10 + (in[p].unicode() - '0');
            if (v > hi + 1) saturated = true;
        }
        ++p;
    }
    if (neg) v = -v;
    if (saturated) v = neg ? lo : hi;
    out = std::max(lo, std::min(hi, v));
    i = p;
    return true;
}

bool ReadHex(QStringView in, qsizetype& i, quint64 max, quint64& out) {
    qsizetype p = i;
    bool neg = false;
    if (p < in.size() && (in[p] == '+' || in[p] == '-')) neg = in[p++] == '-';
    if (p + 1 < in.size() && in[p] == '0' && (in[p + 1] == 'x' || in[p + 1] == 'X') && p + 2 < in.size() &&
        HexValue(in[p + 2]) >= 0)
        p += 2;
    if (p >= in.size() || HexValue(in[p]) < 0) return false;
    quint64 v = 0;
    bool saturated = false;
    while (p < in.size() && HexValue(in[p]) >= 0) {
        if (!saturated) {
            if (v > (max >> 4)) saturated = true;
            else v = (v << 4) | static_cast<quint64>(HexValue(in[p]));
        }
        ++p;
    }
    if (saturated) v = max;
    if (neg) v = (~v + 1) & max;
    out = v;
    i = p;
    return true;
}

bool ReadFloat(QStringView in, qsizetype& i, double& out) {
    qsizetype p = i;
    std::string text;
    if (p < in.size() && (in[p] == '+' || in[p] == '-')) text += static_cast<char>(in[p++].unicode());
    bool digits = false;
    while (p < in.size() && in[p].unicode() >= '0' && in[p].unicode() <= '9') {
        text += static_cast<char>(in[p++].unicode());
        digits = true;
    }
    if (p < in.size() && in[p] == '.') {
        text += '.';
        ++p;
        while (p < in.size() && in[p].unicode() >= '0' && in[p].unicode() <= '9') {
            text += static_cast<char>(in[p++].unicode());
            digits = true;
        }
    }
    if (!digits) return false;
    if (p < in.size() && (in[p] == 'e' || in[p] == 'E')) {
        qsizetype q = p + 1;
        std::string exp = "e";
        if (q < in.size() && (in[q] == '+' || in[q] == '-')) exp += static_cast<char>(in[q++].unicode());
        bool expDigits = false;
        while (q < in.size() && in[q].unicode() >= '0' && in[q].unicode() <= '9') {
            exp += static_cast<char>(in[q++].unicode());
            expDigits = true;
        }
        if (expDigits) {
            text += exp;
            p = q;
        }
    }
    // Locale-independent: a decimal point is always ".".
    double v = 0;
    const char* first = text.c_str();
    if (*first == '+') ++first;
    auto [end, ec] = std::from_chars(first, text.c_str() + text.size(), v);
    (void)end;
    if (ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: saturate, or zero when tiny.
        bool tiny = text.find("e-") != std::string::npos;
        v = tiny ? 0.0 : (text[0] == '-' ? -1e9 : 1e9);
    } else if (ec != std::errc()) {
        return false;
    }
    if (!std::isfinite(v)) v = v < 0 ? -1e9 : 1e9;
    // Beyond this no subtitle value makes sense, and it keeps casts defined.
    if (v > 1e9) v = 1e9;
    if (v < -1e9) v = -1e9;
    out = v;
    i = p;
    return true;
}

int ScanImpl(QStringView in, const char* format, va_list args) {
    qsizetype i = 0;
    int stored = 0;
    for (const char* f = format; *f; ++f) {
        if (*f == ' ' || *f == '\t' || *f == '\n') {
            while (i < in.size() && IsSpace(in[i])) ++i;
            continue;
        }
        if (*f != '%') {
            if (i >= in.size()) return stored ? stored : -1;
            if (in[i] != QChar(static_cast<uchar>(*f))) return stored;
            ++i;
            continue;
        }
        ++f;
        if (*f == '%') {
            while (i < in.size() && IsSpace(in[i])) ++i;
            if (i >= in.size()) return stored ? stored : -1;
            if (in[i] != '%') return stored;
            ++i;
            continue;
        }
        if (*f == 'c') {
            if (i >= in.size()) return stored ? stored : -1;
            *va_arg(args, QChar*) = in[i++];
            ++stored;
            continue;
        }
        while (i < in.size() && IsSpace(in[i])) ++i;
        if (i >= in.size()) return stored ? stored : -1;
        if (*f == 'd') {
            qint64 v;
            if (!ReadDecimal(in, i, -2147483647LL - 1, 2147483647LL, v)) return stored;
            *va_arg(args, int*) = static_cast<int>(v);
        } else if (*f == 'x') {
            quint64 v;
            if (!ReadHex(in, i, 0xFFFFFFFFull, v)) return stored;
            *va_arg(args, unsigned*) = static_cast<unsigned>(v);
        } else if (*f == 'I' && f[1] == '6' && f[2] == '4' && f[3] == 'x') {
            f += 3;
            quint64 v;
            if (!ReadHex(in, i, ~0ull, v)) return stored;
            *va_arg(args, quint64*) = v;
        } else if (*f == 'f') {
            double v;
            if (!ReadFloat(in, i, v)) return stored;
            *va_arg(args, double*) = v;
        } else {
            return stored;  // unsupported conversion: a programming error, never input
        }
        ++stored;
    }
    return stored;
}

}  // namespace

int ScanText(const QString& input, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = ScanImpl(QStringView(input), format, args);
    va_end(args);
    return n;
}

int ScanText(QStringView input, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = ScanImpl(input, format, args);
    va_end(args);
    return n;
}

int LeadingInt(QStringView s) {
    qsizetype i = 0;
    while (i < s.size() && IsSpace(s[i])) ++i;
    qint64 v = 0;
    if (!ReadDecimal(s, i, -2147483647LL - 1, 2147483647LL, v)) return 0;
    return static_cast<int>(v);
}

bool ScanIntAt(QStringView s, qsizetype& i, int& value) {
    qsizetype p = i;
    while (p < s.size() && IsSpace(s[p])) ++p;
    qint64 v = 0;
    if (!ReadDecimal(s, p, -2147483647LL - 1, 2147483647LL, v)) return false;
    value = static_cast<int>(v);
    i = p;
    return true;
}

quint32 LeadingHex(QStringView s) {
    qsizetype i = 0;
    while (i < s.size() && IsSpace(s[i])) ++i;
    quint64 v = 0;
    if (!ReadHex(s, i, 0xFFFFFFFFull, v)) return 0;
    return static_cast<quint32>(v);
}

}  // namespace kalvex
