// The stand-in's ANSI code page, 932 (Shift-JIS) as on a Japanese Windows, its conversions to and from the
// host's UTF-8, the system's wide strings (UTF-16) and their ordinal comparison.
#include "standin.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace {

// Converts length bytes with iconv into out; 1, or 0 at the first byte sequence that has no counterpart when
// replacement is NULL. Otherwise each such sequence becomes replacement: one byte of code page 932, or one
// whole UTF-8 sequence (its lead byte and the continuation bytes after it).
int Convert(const char *to, const char *from, const char *in, size_t length, std::string *out, const char *replacement)
{
    out->clear();
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1)
        return 0;
    char *next = const_cast<char *>(in);
    size_t left = length;
    int whole = 1;
    while (left > 0) {
        char buffer[1024];
        char *end = buffer;
        size_t room = sizeof buffer;
        size_t converted = iconv(cd, &next, &left, &end, &room);
        out->append(buffer, (size_t)(end - buffer));
        if (converted != (size_t)-1 || errno == E2BIG)
            continue;
        if (replacement == NULL) {
            whole = 0;
            break;
        }
        out->append(replacement);
        size_t skip = 1;
        if (strcmp(from, "UTF-8") == 0) {
            while (skip < left && ((unsigned char)next[skip] & 0xC0) == 0x80)
                ++skip;
        }
        next += skip;
        left -= skip;
    }
    iconv_close(cd);
    return whole;
}

}  // namespace

int Cp932IsLeadByte(unsigned char byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// A table lookup that cannot fail, so it is neither logged nor faulted: it would add a call for every
// byte of every path the logic walks.
BOOL IsDBCSLeadByteEx(UINT codePage, BYTE testChar)
{
    if (codePage != CP_ACP && codePage != 932) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Cp932IsLeadByte(testChar) ? TRUE : FALSE;
}

int Cp932ToUtf8(const char *text, size_t length, std::string *utf8)
{
    return Convert("UTF-8", "CP932", text, length, utf8, NULL);
}

int Utf8ToCp932(const char *text, size_t length, std::string *cp932)
{
    return Convert("CP932", "UTF-8", text, length, cp932, NULL);
}

std::string Cp932ToUtf8Shown(const char *text)
{
    std::string utf8;
    Convert("UTF-8", "CP932", text, strlen(text), &utf8, "\xEF\xBF\xBD");
    return utf8;
}

int Utf8ToCp932Exact(const char *text, size_t length, std::string *cp932)
{
    // glibc's table also takes some characters the code page lacks to a near one (¥ to '\\', ‾ to '~');
    // Windows, asked for no best fit, takes only those that come back unchanged.
    std::string back;
    return Utf8ToCp932(text, length, cp932) && Cp932ToUtf8(cp932->data(), cp932->size(), &back) &&
           back.size() == length && memcmp(back.data(), text, length) == 0;
}

int Utf8ToWide(const char *text, size_t length, std::vector<WCHAR> *wide)
{
    std::string bytes;
    wide->clear();
    if (!Convert("UTF-16LE", "UTF-8", text, length, &bytes, NULL))
        return 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        wide->push_back((WCHAR)((unsigned char)bytes[i] | (unsigned char)bytes[i + 1] << 8));
    return 1;
}

int WideToUtf8(const WCHAR *text, size_t length, std::string *utf8)
{
    std::string bytes;
    for (size_t i = 0; i < length; ++i) {
        bytes.push_back((char)(text[i] & 0xFF));
        bytes.push_back((char)(text[i] >> 8));
    }
    return Convert("UTF-8", "UTF-16LE", bytes.data(), bytes.size(), utf8, NULL);
}

int CompareStringOrdinal(LPCWSTR a, int aLength, LPCWSTR b, int bLength, BOOL ignoreCase)
{
    const StandinCall *failed = StandinEnter(CallCompareStringOrdinal);
    if (failed != NULL)
        return (int)failed->failure;
    if (a == NULL || b == NULL || aLength < -1 || bLength < -1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t lengths[2] = {(size_t)aLength, (size_t)bLength};
    const WCHAR *texts[2] = {a, b};
    for (int k = 0; k < 2; ++k) {
        if ((int)lengths[k] == -1)
            for (lengths[k] = 0; texts[k][lengths[k]] != 0; ++lengths[k]) {
            }
    }
    // Case is folded for ASCII letters only, as the stand-in's file names are.
    for (size_t i = 0; i < lengths[0] && i < lengths[1]; ++i) {
        WCHAR x = a[i], y = b[i];
        if (ignoreCase && x >= 'a' && x <= 'z')
            x = (WCHAR)(x - 'a' + 'A');
        if (ignoreCase && y >= 'a' && y <= 'z')
            y = (WCHAR)(y - 'a' + 'A');
        if (x != y)
            return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    if (lengths[0] == lengths[1])
        return CSTR_EQUAL;
    return lengths[0] < lengths[1] ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

std::string Utf8ToCp932Ansi(const char *text)
{
    std::string cp932;
    Convert("CP932", "UTF-8", text, strlen(text), &cp932, "?");
    return cp932;
}
