// The stand-in's registry: HKEY_LOCAL_MACHINE as a REGEDIT4 file named by WINSTUB_REGISTRY, read-only.
#include "standin.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct RegValue {
    std::string key;   // full path under HKEY_LOCAL_MACHINE
    std::string name;  // "" for the default value
    DWORD type;
    std::string data;
};

const char MachinePrefix[] = "HKEY_LOCAL_MACHINE";
const char MachineShortPrefix[] = "HKLM";

// Strips the hive from a bracketed key; false for another hive.
bool MachineKeyPath(const std::string &full, std::string *path)
{
    for (const char *prefix : {MachinePrefix, MachineShortPrefix}) {
        size_t n = strlen(prefix);
        if (full.size() >= n && SjisCompareNoCaseN(full.c_str(), prefix, n) == 0 &&
            (full.size() == n || full[n] == '\\')) {
            *path = full.size() == n ? std::string() : full.substr(n + 1);
            return true;
        }
    }
    return false;
}

// Parses a quoted string with the .reg escapes \\ and \" from text[*pos] (at the opening quote).
bool ParseQuoted(const std::string &text, size_t *pos, std::string *out)
{
    if (*pos >= text.size() || text[*pos] != '"')
        return false;
    out->clear();
    for (size_t i = *pos + 1; i < text.size(); ++i) {
        unsigned char c = (unsigned char)text[i];
        // A Shift-JIS trail byte may be 0x5C, which is no escape.
        if (Cp932IsLeadByte(c) && i + 1 < text.size()) {
            out->push_back((char)c);
            out->push_back(text[++i]);
            continue;
        }
        if (c == '\\' && i + 1 < text.size()) {
            out->push_back(text[++i]);
            continue;
        }
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        out->push_back((char)c);
    }
    return false;
}

bool ParseHexBytes(const std::string &text, std::string *out)
{
    out->clear();
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ',' || text[i] == ' ' || text[i] == '\t'))
            ++i;
        if (i >= text.size())
            break;
        char *end = NULL;
        unsigned long byte = strtoul(text.c_str() + i, &end, 16);
        size_t used = (size_t)(end - (text.c_str() + i));
        if (used == 0 || used > 2 || byte > 0xFF)
            return false;
        out->push_back((char)byte);
        i += used;
    }
    return true;
}

// Reads the registry file; an absent variable or file is an empty registry.
std::vector<RegValue> LoadRegistry(std::vector<std::string> *keys)
{
    std::vector<RegValue> values;
    const char *file = getenv("WINSTUB_REGISTRY");
    if (file == NULL || file[0] == '\0')
        return values;
    FILE *in = fopen(file, "rb");
    if (in == NULL)
        return values;
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, in)) > 0)
        text.append(chunk, n);
    fclose(in);

    // Logical lines: CR LF or LF, a trailing backslash continues a hex list on the next line.
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n') {
            while (!line.empty() && (line.back() == '\r'))
                line.pop_back();
            size_t last = line.find_last_not_of(" \t");
            if (last != std::string::npos && line[last] == '\\' && line.find("=hex") != std::string::npos) {
                line.erase(last);
                continue;
            }
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(text[i]);
        }
    }

    std::string current;
    bool inMachine = false;
    for (std::string &l : lines) {
        size_t start = l.find_first_not_of(" \t");
        if (start == std::string::npos || l[start] == ';')
            continue;
        l.erase(0, start);
        if (l[0] == '[') {
            size_t close = l.rfind(']');
            std::string full = l.substr(1, close == std::string::npos ? std::string::npos : close - 1);
            inMachine = full.empty() || full[0] != '-' ? MachineKeyPath(full, &current) : false;
            if (inMachine)
                keys->push_back(current);
            continue;
        }
        if (!inMachine)
            continue;
        RegValue value;
        value.key = current;
        size_t pos = 0;
        if (l[0] == '@') {
            pos = 1;
        } else if (!ParseQuoted(l, &pos, &value.name)) {
            continue;
        }
        if (pos >= l.size() || l[pos] != '=')
            continue;
        std::string rest = l.substr(pos + 1);
        if (!rest.empty() && rest[0] == '"') {
            size_t p = 0;
            if (!ParseQuoted(rest, &p, &value.data))
                continue;
            value.data.push_back('\0');
            value.type = REG_SZ;
        } else if (rest.compare(0, 6, "dword:") == 0) {
            unsigned long v = strtoul(rest.c_str() + 6, NULL, 16);
            value.type = REG_DWORD;
            for (int b = 0; b < 4; ++b)
                value.data.push_back((char)((v >> (8 * b)) & 0xFF));
        } else if (rest.compare(0, 4, "hex:") == 0) {
            value.type = REG_BINARY;
            if (!ParseHexBytes(rest.substr(4), &value.data))
                continue;
        } else if (rest.compare(0, 4, "hex(") == 0) {
            size_t close = rest.find("):");
            if (close == std::string::npos)
                continue;
            value.type = (DWORD)strtoul(rest.c_str() + 4, NULL, 16);
            if (!ParseHexBytes(rest.substr(close + 2), &value.data))
                continue;
        } else {
            continue;
        }
        // A later line for the same value replaces the earlier one, as an import does.
        for (size_t i = 0; i < values.size(); ++i) {
            if (SjisCompareNoCase(values[i].key.c_str(), value.key.c_str()) == 0 &&
                SjisCompareNoCase(values[i].name.c_str(), value.name.c_str()) == 0) {
                values.erase(values.begin() + (long)i);
                break;
            }
        }
        values.push_back(value);
    }
    return values;
}

// A key exists when it is listed, or when a listed key lies below it.
bool KeyExists(const std::vector<std::string> &keys, const std::string &path)
{
    if (path.empty())
        return true;
    for (const std::string &k : keys) {
        if (k.size() < path.size())
            continue;
        if (SjisCompareNoCaseN(k.c_str(), path.c_str(), path.size()) == 0 &&
            (k.size() == path.size() || k[path.size()] == '\\'))
            return true;
    }
    return false;
}

}  // namespace

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM, PHKEY result)
{
    const StandinCall *failed = StandinEnter(CallRegOpenKeyExA);
    if (failed != NULL)
        return (LONG)failed->failure;
    std::string base;
    if (key != HKEY_LOCAL_MACHINE) {
        StandinHandle *parent = HandleFromValue((uintptr_t)key, HANDLE_KEY);
        if (parent == NULL)
            return ERROR_INVALID_HANDLE;
        base = parent->path;
    }
    std::string path = base;
    if (subKey != NULL && subKey[0] != '\0') {
        if (!path.empty())
            path += '\\';
        path += subKey;
    }
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    std::vector<std::string> keys;
    LoadRegistry(&keys);
    if (!KeyExists(keys, path))
        return ERROR_FILE_NOT_FOUND;
    if (path.size() >= sizeof(((StandinHandle *)0)->path))
        return ERROR_FILE_NOT_FOUND;
    StandinHandle *handle = HandleNew(HANDLE_KEY);
    if (handle == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    snprintf(handle->path, sizeof handle->path, "%s", path.c_str());
    *result = (HKEY)HandleValue(handle);
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize)
{
    const StandinCall *failed = StandinEnter(CallRegQueryValueExA);
    if (failed != NULL)
        return (LONG)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)key, HANDLE_KEY);
    if (handle == NULL)
        return ERROR_INVALID_HANDLE;
    if (reserved != NULL || (data != NULL && dataSize == NULL))
        return ERROR_INVALID_PARAMETER;
    std::vector<std::string> keys;
    std::vector<RegValue> values = LoadRegistry(&keys);
    const char *name = valueName != NULL ? valueName : "";
    for (const RegValue &v : values) {
        if (SjisCompareNoCase(v.key.c_str(), handle->path) != 0 || SjisCompareNoCase(v.name.c_str(), name) != 0)
            continue;
        if (type != NULL)
            *type = v.type;
        DWORD size = (DWORD)v.data.size();
        if (data == NULL) {
            if (dataSize != NULL)
                *dataSize = size;
            return ERROR_SUCCESS;
        }
        // Too small a buffer gets nothing but the size it would need.
        if (size > *dataSize) {
            *dataSize = size;
            return ERROR_MORE_DATA;
        }
        memcpy(data, v.data.data(), size);
        *dataSize = size;
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY key)
{
    const StandinCall *failed = StandinEnter(CallRegCloseKey);
    StandinHandle *handle = HandleFromValue((uintptr_t)key, HANDLE_KEY);
    if (handle == NULL)
        return ERROR_INVALID_HANDLE;
    // A failed close still releases the key.
    HandleFree(handle);
    return failed != NULL ? (LONG)failed->failure : ERROR_SUCCESS;
}
