#pragma once
// Text routines of the XML-RPC layer: escaping, the ISO date form, numbers, Base64 and the
// empty-value normalisation the readers apply before parsing.  Every text here is
// Windows-1251; numbers always use '.' whatever the process locale.

#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>

namespace xrpc {

// The one exception class of the layer: a value of the wrong kind, a conversion that failed,
// a malformed or hostile document.
class EXrpcError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Days since 30 Dec 1899; the fraction is the time of day.
using TDateTime = double;

// Drops the control characters XML 1.0 forbids (all C0 but TAB, LF and CR, and the one byte
// the code page leaves unassigned), then writes & < > " ' as the predefined entities.
std::string EscapeXml(std::string_view text);
// Reverses the five entities; "&amp;" last, so "a&amp;lt;b" becomes "a&lt;b", never "a<b".
std::string UnescapeXml(std::string_view text);

// yyyymmddThh:mm:ss; the day fraction is rounded to milliseconds first.  Raises for a value
// outside the years 1 to 9999.
std::string FormatIsoDate(TDateTime value);
// Fields by position (year 1-4, month 5-6, day 7-8, hour 10-11, minute 13-14, second 16-17);
// anything after them is ignored.  Raises for a field that is no number or out of range.
TDateTime ParseIsoDate(std::string_view text);
// Checks a date-time before it is stored, so that every stored value can be written.
void CheckDateTime(TDateTime value);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond = 0);

// Up to 15 significant digits, fixed notation from 1E-5 to below 1E15, else d.dddE±n.
// Raises for infinities and NaN, which XML-RPC cannot carry.
std::string FormatFloat(double value);
// Decimal integers and floats with an optional sign, '.' and an exponent; the whole text must
// be the number.  The boolean reader takes 0/1 (any integer) and the words true and false.
int32_t ParseInteger(std::string_view text);
double ParseFloat(std::string_view text);
bool ParseBoolean(std::string_view text);

// Removes the characters up to the blank (control characters and blanks) at both ends.
std::string_view Trim(std::string_view text);
// ASCII upper case, for tag names.
std::string UpperAscii(std::string_view text);
// Case-insensitive equality of two Windows-1251 texts (Latin and Cyrillic letters).
bool SameText(std::string_view a, std::string_view b);

// Replaces the empty string and value forms (<string></string>, <string></nil></string>,
// <string></null></string>, <string> </string> and the same four for <value>) by
// "<string>[NULL]</string>" and "<value>[NULL]</value>", ignoring letter case.
std::string NormalizeEmptyValues(std::string_view document);

// RFC 2045 Base64 with "=" padding, in lines of 76 characters separated by CR LF.
std::string EncodeBase64(std::string_view bytes);
// Skips every character outside the alphabet (line breaks, blanks) and stops at "=".
// Raises when the characters left over cannot form a byte.
std::string DecodeBase64(std::string_view text);

// The whole rest of a stream as a string, and a string written to a stream.
std::string StreamToString(std::istream& in);
void StringToStream(std::string_view text, std::ostream& out);

namespace detail {
// Escapes UTF-8 text as EscapeXml does and converts it to Windows-1251; a character the code
// page lacks becomes a character reference, so the text survives a rewrite unchanged.
std::string EscapeUtf8(std::string_view utf8);
} // namespace detail

} // namespace xrpc
