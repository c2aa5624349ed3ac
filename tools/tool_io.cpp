// File helpers for the szdd tool: whole-file reads, outputs that appear only on success, messages.
#include "tool_io.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "szdd_commands.h"

int ToolFail(const char *name, const char *problem)
{
    fprintf(stderr, "szdd: %s: %s\n", name, problem);
    return SZDD_EXIT_FAILURE;
}

int ReadWholeFile(const char *path, std::vector<unsigned char> *bytes)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return errno;
    bytes->clear();
    unsigned char chunk[1 << 16];
    int error = 0;
    for (;;) {
        size_t got = fread(chunk, 1, sizeof chunk, f);
        bytes->insert(bytes->end(), chunk, chunk + got);
        if (got < sizeof chunk) {
            if (ferror(f))
                error = errno ? errno : EIO;
            break;
        }
    }
    fclose(f);
    return error;
}

int BeginOutput(const char *path, PendingOutput *out)
{
    out->path = path;
    out->tempPath = out->path + ".szdd-XXXXXX";
    std::vector<char> name(out->tempPath.begin(), out->tempPath.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0)
        return errno;
    out->tempPath = name.data();
    // mkstemp makes the file private; give it the mode a plain create would.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    out->file = fdopen(fd, "wb");
    if (!out->file) {
        int error = errno;
        close(fd);
        unlink(out->tempPath.c_str());
        return error;
    }
    return 0;
}

int FinishOutput(PendingOutput *out)
{
    int error = 0;
    if (fflush(out->file) != 0 || fsync(fileno(out->file)) != 0)
        error = errno;
    if (fclose(out->file) != 0 && !error)
        error = errno;
    out->file = NULL;
    if (!error && rename(out->tempPath.c_str(), out->path.c_str()) != 0)
        error = errno;
    if (error)
        unlink(out->tempPath.c_str());
    return error;
}

void AbandonOutput(PendingOutput *out)
{
    if (out->file)
        fclose(out->file);
    out->file = NULL;
    unlink(out->tempPath.c_str());
}
