#pragma once
// A small, bounds-safe scanf over QString for the subtitle and index readers.
// Conversions (pointer types in parentheses):
//   %d  (int*)       optional sign, decimal digits; saturates at the int range
//   %x  (unsigned*)  optional sign, optional 0x, hex digits; saturates
//   %I64x (quint64*) as %x, 64 bits
//   %f  (double*)    a decimal number with optional fraction and exponent
//   %c  (QChar*)     any one character, white space included
//   %%  a literal percent sign
// %d, %x and %f skip leading white space; a blank in the format skips any
// white space; any other format character must match the input exactly.
// Returns the number of values stored, or -1 when the input ended before the
// first conversion.
#include <QString>
#include <QtGlobal>

namespace kalvex {

int ScanText(const QString& input, const char* format, ...);
int ScanText(QStringView input, const char* format, ...);

// Leading decimal number like wcstol(s, 0, 10) (0 when there is none),
// saturated at the int range.
int LeadingInt(QStringView s);
// Leading hexadecimal number like wcstoul(s, 0, 16), saturated.
quint32 LeadingHex(QStringView s);

// Reads a decimal number (optional sign, saturated) at s[i], after any white
// space; on success i moves past it.
bool ScanIntAt(QStringView s, qsizetype& i, int& value);

// Clamps a 64-bit value to the 32-bit signed range.
inline int ClampToInt(qint64 v) {
    if (v > 2147483647LL) return 2147483647;
    if (v < -2147483647LL - 1) return -2147483647 - 1;
    return static_cast<int>(v);
}

// ((h*60 + m)*60 + s)*1000 + ms without overflow.
inline qint64 TimeToMs(qint64 h, qint64 m, qint64 s, qint64 ms) {
    return ((h * 60 + m) * 60 + s) * 1000 + ms;
}

}  // namespace kalvex
