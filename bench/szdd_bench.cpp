// Benchmark: our SZDD compressor and expander against mscompress, msexpand and libmspack, same files.
#include <mspack.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "szdd.h"
#include "szdd_io.h"
#include "tool_io.h"

namespace {

const char *const DefaultFiles[] = {
    "/usr/lib/gcc/i686-w64-mingw32/12-win32/libssp-0.dll",
    "/usr/lib/gcc/i686-w64-mingw32/12-win32/libgcc_s_dw2-1.dll",
    "/usr/lib/gcc/i686-w64-mingw32/12-win32/libquadmath-0.dll",
    "/usr/lib/gcc/i686-w64-mingw32/12-win32/libgomp-1.dll",
    "/usr/lib/gcc/i686-w64-mingw32/12-win32/libstdc++-6.dll",
    "/usr/lib/gcc/x86_64-w64-mingw32/12-win32/libgcc_s_seh-1.dll",
    "/usr/lib/gcc/x86_64-w64-mingw32/12-win32/libgfortran-5.dll",
};

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU time of this thread: steadier than wall time on a machine shared with other work.
double CpuNow()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

bool WriteFile(const std::string &path, const unsigned char *data, size_t length)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data, 1, length, f) == length;
    return fclose(f) == 0 && ok;
}

// Runs a shell command; returns its wall time in seconds, or -1 when it failed.
double TimeCommand(const std::string &command)
{
    double start = Now();
    int status = system(command.c_str());
    double elapsed = Now() - start;
    return status == 0 ? elapsed : -1;
}

// Best time of several runs of fn, running at least min_runs times and about min_seconds in all.
template <class Fn>
double BestOf(Fn fn, int minRuns, double minSeconds, double (*clock)() = Now)
{
    double best = 1e30, total = 0;
    for (int run = 0; run < minRuns || total < minSeconds; ++run) {
        double start = clock();
        if (!fn())
            return -1;
        double t = clock() - start;
        total += t;
        if (t < best)
            best = t;
        if (run >= 50)
            break;
    }
    return best;
}

struct Row {
    std::string name;
    size_t size = 0, ours = 0, theirs = 0;
    size_t msexpandSize = 0;  // bytes that msexpand was timed on
    double oursCompress = 0, theirsCompress = 0;
    double oursExpand = 0, msexpand = 0, mspack = 0;
};

// Files above this size are timed once with mscompress and not at all with msexpand (unless asked).
const size_t MsexpandLimit = 2 * 1000 * 1000;

double Rate(size_t bytes, double seconds)
{
    return seconds > 0 ? bytes / seconds / 1e6 : 0;
}

// A rate column, or "-" when that tool was not timed.
std::string RateText(size_t bytes, double seconds)
{
    if (seconds <= 0)
        return "-";
    char text[32];
    snprintf(text, sizeof text, "%.1f", Rate(bytes, seconds));
    return text;
}

void PrintRow(const Row &r)
{
    printf("%-22s %10zu %10zu %10zu %7.2f%% %9s %9s %9s %9s %9s\n", r.name.c_str(), r.size, r.ours, r.theirs,
           r.theirs ? 100.0 * r.ours / r.theirs : 0, RateText(r.size, r.oursCompress).c_str(),
           RateText(r.size, r.theirsCompress).c_str(), RateText(r.size, r.oursExpand).c_str(),
           RateText(r.msexpandSize, r.msexpand).c_str(), RateText(r.size, r.mspack).c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> files;
    bool oursOnly = false, allMsexpand = false;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--ours-only"))
            oursOnly = true;
        else if (!strcmp(argv[i], "--all-msexpand"))
            allMsexpand = true;
        else if (!strcmp(argv[i], "--help")) {
            printf("usage: szdd_bench [--ours-only] [--all-msexpand] [FILES...]\n"
                   "  --ours-only     time only our compressor and expander\n"
                   "  --all-msexpand  also time msexpand on files over 2 MB (it is very slow)\n");
            return 0;
        } else
            files.push_back(argv[i]);
    }
    if (files.empty())
        for (const char *f : DefaultFiles)
            if (access(f, R_OK) == 0)
                files.push_back(f);
    if (files.empty()) {
        fprintf(stderr, "szdd_bench: no input files (pass some as arguments)\n");
        return 2;
    }
    char dirTemplate[] = "/tmp/szdd-bench-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        perror("szdd_bench: mkdtemp");
        return 1;
    }
    std::string dir = dirTemplate;
    msszdd_decompressor *mspack = mspack_create_szdd_decompressor(NULL);
    if (!mspack) {
        fprintf(stderr, "szdd_bench: libmspack decompressor unavailable\n");
        return 1;
    }

    printf("Rates in MB/s of uncompressed data. Ours in process, thread CPU time, best of several runs; mscompress and "
           "msexpand\n"
           "as processes (start-up and file I/O included), mscompress once on files over 2 MB, msexpand only on files\n"
           "up to 2 MB unless --all-msexpand (\"-\": not timed); libmspack file to file in process.\n\n");
    printf("%-22s %10s %10s %10s %8s %9s %9s %9s %9s %9s\n", "file", "size", "ours", "mscompress", "ours/msc", "comp",
           "msc comp", "expand", "msexpand", "libmspack");
    Row total;
    total.name = "total";
    int failures = 0;
    for (const std::string &path : files) {
        Row r;
        r.name = path.substr(path.find_last_of('/') + 1);
        std::vector<unsigned char> data;
        if (ReadWholeFile(path.c_str(), &data) != 0) {
            fprintf(stderr, "szdd_bench: %s: cannot read\n", path.c_str());
            ++failures;
            continue;
        }
        r.size = data.size();

        SzddBuffer stream = {NULL, 0, 0};
        r.oursCompress = BestOf(
            [&] {
                stream.length = 0;
                return SzddCompress(data.data(), data.size(), SzddWriteBuffer, &stream) == SZDD_OK;
            },
            3, 1.0, CpuNow);
        r.ours = stream.length;

        std::string plain = dir + "/in.bin", packed = dir + "/ours.bin_", expanded = dir + "/out.bin";
        WriteFile(plain, data.data(), data.size());
        WriteFile(packed, stream.data, stream.length);
        // mscompress manages well under 1 MB/s: a single run on large files.
        if (!oursOnly)
            r.theirsCompress =
                BestOf([&] { return TimeCommand("cd '" + dir + "' && rm -f in.bin_ && mscompress in.bin") >= 0; },
                       data.size() > MsexpandLimit ? 1 : 3, 0.5);
        struct stat st;
        if (r.theirsCompress > 0 && stat((plain + "_").c_str(), &st) == 0)
            r.theirs = st.st_size;

        SzddBuffer back = {NULL, 0, 0};
        r.oursExpand = BestOf(
            [&] {
                back.length = 0;
                SzddMemorySource source = {stream.data, stream.length, 0};
                uint64_t written = 0;
                return SzddExpand(SzddReadMemory, &source, SzddWriteBuffer, &back, &written) == SZDD_OK;
            },
            5, 1.0, CpuNow);
        if (back.length != data.size() || memcmp(back.data, data.data(), data.size()) != 0) {
            fprintf(stderr, "szdd_bench: %s: our round trip differs\n", path.c_str());
            ++failures;
        }
        std::vector<unsigned char> check;
        if (!oursOnly && (data.size() <= MsexpandLimit || allMsexpand)) {
            // msexpand makes a system call per byte or so: one run, and only on small files by default.
            r.msexpand = TimeCommand("msexpand < '" + packed + "' > '" + expanded + "'");
            r.msexpandSize = data.size();
            if (ReadWholeFile(expanded.c_str(), &check) != 0 || check != data) {
                fprintf(stderr, "szdd_bench: %s: msexpand output differs\n", path.c_str());
                ++failures;
            }
        }
        if (!oursOnly)
            r.mspack = BestOf(
                [&] { return mspack->decompress(mspack, packed.c_str(), expanded.c_str()) == MSPACK_ERR_OK; }, 3, 0.5);
        if (!oursOnly && (ReadWholeFile(expanded.c_str(), &check) != 0 || check != data)) {
            fprintf(stderr, "szdd_bench: %s: libmspack output differs\n", path.c_str());
            ++failures;
        }
        SzddFreeBuffer(&stream);
        SzddFreeBuffer(&back);

        PrintRow(r);
        total.size += r.size;
        total.ours += r.ours;
        total.theirs += r.theirs;
        total.oursCompress += r.oursCompress;
        total.theirsCompress += r.theirsCompress;
        total.oursExpand += r.oursExpand;
        total.msexpand += r.msexpand;
        total.msexpandSize += r.msexpandSize;
        total.mspack += r.mspack;
        unlink((plain + "_").c_str());
        unlink(plain.c_str());
        unlink(packed.c_str());
        unlink(expanded.c_str());
    }
    PrintRow(total);
    mspack_destroy_szdd_decompressor(mspack);
    rmdir(dir.c_str());
    return failures ? 1 : 0;
}
