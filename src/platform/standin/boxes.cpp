// The stand-in's message boxes: each is appended to a JSON Lines transcript and answered from a list,
// from the terminal, or closed.
//
// WINSTUB_TRANSCRIPT: the file that receives one line per box:
//   {"caption":"…","text":"…","style":N,"answer":N}  (caption and text converted from code page 932 to UTF-8)
// WINSTUB_ANSWERS: "ok"/"cancel", comma-separated, used in order; once they run out every box gets OK.
// Without it, a terminal on standard input is asked; with neither, every box is closed.
// WINSTUB_BOX_STATE: the file that receives, as each box appears, one line of what the box finds:
//   {"open":["file C:\\…","folder C:\\…\\",…],"files":["C:\\TEMP\\…",…]}  (handles still open, the run lock aside, and
//   every file on the drives, host names in UTF-8), so that a test can tell what was cleaned up before.
#include "standin.h"

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The index of the next answer to take from WINSTUB_ANSWERS.
size_t answersUsed;

std::string JsonString(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char escaped[8];
                snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out.push_back((char)c);
            }
        }
    }
    return out + "\"";
}

// The next listed answer: 1 for "ok", 0 for "cancel", -1 when the list has run out.
int NextListedAnswer(const char *list)
{
    const char *p = list;
    for (size_t i = 0; i < answersUsed && p != NULL; ++i) {
        p = strchr(p, ',');
        if (p != NULL)
            ++p;
    }
    if (p == NULL || *p == '\0')
        return -1;
    ++answersUsed;
    size_t length = strcspn(p, ",");
    while (length > 0 && p[0] == ' ') {
        ++p;
        --length;
    }
    return !(length == 6 && strncmp(p, "cancel", 6) == 0);
}

int AskTerminal(const std::string &caption, const std::string &text, int okCancel)
{
    fprintf(stderr, "\n[%s]\n%s\n%s ", caption.c_str(), text.c_str(), okCancel ? "[OK/cancel]?" : "[OK]");
    fflush(stderr);
    char line[64];
    if (fgets(line, sizeof line, stdin) == NULL)
        return 0;
    return !(line[0] == 'c' || line[0] == 'C');
}

// Appends to list, as JSON strings, the files below the host directory, named by their Windows paths.
void ListFiles(const std::string &host, const std::string &windows, std::string *list)
{
    DIR *dir = opendir(host.c_str());
    if (dir == NULL)
        return;
    for (struct dirent *entry; (entry = readdir(dir)) != NULL;) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        std::string child = host + "/" + name;
        if (lstat(child.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            ListFiles(child, windows + name + "\\", list);
        } else {
            *list += list->empty() ? "" : ",";
            *list += JsonString(windows + name);
        }
    }
    closedir(dir);
}

// Appends the machine as a box finds it to the WINSTUB_BOX_STATE file, if there is one.
void RecordBoxState()
{
    const char *record = getenv("WINSTUB_BOX_STATE");
    if (record == NULL || record[0] == '\0')
        return;
    static const HandleKind kinds[] = {HANDLE_FILE, HANDLE_KEY, HANDLE_LZ, HANDLE_CRYPT, HANDLE_HASH};
    static const char *const kindNames[] = {"file", "key", "lz", "crypt", "hash"};
    std::string open;
    for (size_t k = 0; k < sizeof kinds / sizeof kinds[0]; ++k) {
        for (StandinHandle *h = HandleNextOfKind(NULL, kinds[k]); h != NULL; h = HandleNextOfKind(h, kinds[k])) {
            open += open.empty() ? "" : ",";
            const char *kind = h->kind == HANDLE_FILE && h->directory ? "folder" : kindNames[k];
            open += JsonString(std::string(kind) + " " + Cp932ToUtf8Shown(h->path));
        }
    }
    std::string files;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        char variable[] = "WINSTUB_DRIVE_C";
        variable[sizeof variable - 2] = letter;
        const char *root = getenv(variable);
        if (root != NULL && root[0] != '\0')
            ListFiles(root, std::string(1, letter) + ":\\", &files);
    }
    FILE *out = fopen(record, "ab");
    if (out == NULL)
        return;
    std::string line = "{\"open\":[" + open + "],\"files\":[" + files + "]}\n";
    fwrite(line.data(), 1, line.size(), out);
    fclose(out);
}

}  // namespace

INT MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type)
{
    const StandinCall *failed = StandinEnter(CallMessageBoxA);
    if (failed != NULL)
        return (INT)failed->failure;
    RecordBoxState();
    std::string captionUtf8 = Cp932ToUtf8Shown(caption != NULL ? caption : "");
    std::string textUtf8 = Cp932ToUtf8Shown(text != NULL ? text : "");
    int okCancel = (type & MB_TYPEMASK) == MB_OKCANCEL;

    int ok;
    const char *answers = getenv("WINSTUB_ANSWERS");
    if (answers != NULL) {
        int listed = NextListedAnswer(answers);
        ok = listed != 0;
    } else if (isatty(STDIN_FILENO)) {
        ok = AskTerminal(captionUtf8, textUtf8, okCancel);
    } else {
        ok = 0;
    }
    // A box with only an OK button answers OK however it is dismissed.
    int answer = (okCancel && !ok) ? IDCANCEL : IDOK;

    const char *transcript = getenv("WINSTUB_TRANSCRIPT");
    if (transcript != NULL && transcript[0] != '\0') {
        FILE *out = fopen(transcript, "ab");
        if (out != NULL) {
            std::string line = "{\"caption\":" + JsonString(captionUtf8) + ",\"text\":" + JsonString(textUtf8) +
                               ",\"style\":" + std::to_string(type) + ",\"answer\":" + std::to_string(answer) + "}\n";
            fwrite(line.data(), 1, line.size(), out);
            fclose(out);
        }
    }
    return answer;
}
