// The stand-in's time and environment: environment variables, the executable's own path, the Windows directory,
// calendar and time-zone conversions, and file times to the host's and back.
#include "platform.h"
#include "standin.h"

#include <cstring>
#include <ctime>
#include <map>
#include <string>

extern char **environ;

namespace {

const int64_t TicksPerMillisecond = 10000;
const int64_t TicksPerSecond = 10000000;
// Days from 1601-01-01 to 1970-01-01.
const int64_t UnixEpochDays = 134774;
const int64_t UnixEpochTicks = UnixEpochDays * 86400 * TicksPerSecond;

const char WindowsDirectory[] = "C:\\WINDOWS";
const char DefaultExecutable[] = "C:\\PernaUpdate.exe";

// The ANSI value last handed out for each name asked for: it stays where it is until that name is asked for again.
std::map<std::string, std::string> ansiValues;

int IsLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned)(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (int64_t)doe - 719468;
}

uint64_t ToTicks(const FILETIME *t)
{
    return ((uint64_t)t->dwHighDateTime << 32) | t->dwLowDateTime;
}

void FromTicks(uint64_t ticks, FILETIME *t)
{
    t->dwLowDateTime = (DWORD)(ticks & 0xFFFFFFFFu);
    t->dwHighDateTime = (DWORD)(ticks >> 32);
}

}  // namespace

const char *CrtGetEnv(const char *name)
{
    const StandinCall *failed = StandinEnter(CallGetenv);
    if (failed != NULL)
        return (const char *)failed->failure;
    // Windows' environment matches names without regard to case; the first match wins. The host's environment
    // is UTF-8 (what a test sets, what a terminal types); the updater reads its code page 932 form, and a
    // value that has none (a character outside the code page, or one only a best fit would map) as no value
    // at all, as on Windows.
    size_t length = strlen(name);
    for (char **entry = environ; entry != NULL && *entry != NULL; ++entry) {
        if (SjisCompareNoCaseN(*entry, name, length) == 0 && (*entry)[length] == '=') {
            std::string &value = ansiValues[name];
            const char *utf8 = *entry + length + 1;
            if (!Utf8ToCp932Exact(utf8, strlen(utf8), &value))
                return NULL;
            return value.c_str();
        }
    }
    return NULL;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD capacity)
{
    const StandinCall *failed = StandinEnter(CallGetModuleFileNameW);
    if (failed != NULL)
        return (DWORD)failed->failure;
    // WINSTUB_EXECUTABLE: the Windows path (UTF-8) the executable was started from.
    const char *executable = getenv("WINSTUB_EXECUTABLE");
    if (executable == NULL || executable[0] == '\0')
        executable = DefaultExecutable;
    std::vector<WCHAR> wide;
    if (module != NULL || path == NULL || capacity == 0 || !Utf8ToWide(executable, strlen(executable), &wide)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Cut to fit and ended, as Windows does from Vista on, which then says so.
    DWORD length = wide.size() < capacity ? (DWORD)wide.size() : capacity - 1;
    memcpy(path, wide.data(), length * sizeof(WCHAR));
    path[length] = 0;
    if (length < wide.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return capacity;
    }
    return length;
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size)
{
    const StandinCall *failed = StandinEnter(CallGetWindowsDirectoryA);
    if (failed != NULL)
        return (UINT)failed->failure;
    UINT length = (UINT)strlen(WindowsDirectory);
    if (size <= length)
        return length + 1;
    memcpy(buffer, WindowsDirectory, length + 1);
    return length;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME *st, LPFILETIME fileTime)
{
    const StandinCall *failed = StandinEnter(CallSystemTimeToFileTime);
    if (failed != NULL)
        return (BOOL)failed->failure;
    static const unsigned char monthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
        st->wDay > monthDays[st->wMonth - 1] + (st->wMonth == 2 && IsLeapYear(st->wYear)) || st->wHour > 23 ||
        st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The day of the week plays no part.
    int64_t days = DaysFromCivil(st->wYear, st->wMonth, st->wDay) + UnixEpochDays;
    int64_t seconds = days * 86400 + st->wHour * 3600 + st->wMinute * 60 + st->wSecond;
    FromTicks((uint64_t)(seconds * TicksPerSecond + st->wMilliseconds * TicksPerMillisecond), fileTime);
    return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME *localTime, LPFILETIME utcTime)
{
    const StandinCall *failed = StandinEnter(CallLocalFileTimeToFileTime);
    if (failed != NULL)
        return (BOOL)failed->failure;
    uint64_t local = ToTicks(localTime);
    // Windows applies the bias in force now, not the one at the converted date.
    tzset();
    time_t now = time(NULL);
    struct tm parts;
    if (localtime_r(&now, &parts) == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t offset = (int64_t)parts.tm_gmtoff * TicksPerSecond;
    FromTicks(local - (uint64_t)offset, utcTime);
    return TRUE;
}

FILETIME FileTimeFromTimespec(const struct timespec &t)
{
    int64_t ticks = (int64_t)t.tv_sec * TicksPerSecond + t.tv_nsec / 100 + UnixEpochTicks;
    FILETIME ft;
    FromTicks((uint64_t)ticks, &ft);
    return ft;
}

struct timespec TimespecFromFileTime(const FILETIME &ft)
{
    int64_t ticks = (int64_t)ToTicks(&ft) - UnixEpochTicks;
    int64_t seconds = ticks / TicksPerSecond;
    int64_t rest = ticks % TicksPerSecond;
    if (rest < 0) {
        rest += TicksPerSecond;
        --seconds;
    }
    struct timespec t;
    t.tv_sec = (time_t)seconds;
    t.tv_nsec = (long)(rest * 100);
    return t;
}
