// The szdd tool's codec subcommands: compress, expand, info, pack and unpack.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "szdd.h"
#include "szdd_commands.h"
#include "szdd_container.h"
#include "szdd_io.h"
#include "tool_io.h"

namespace {

// Names the input or the output in a codec failure message, by whose fault it was; returns 1.
int CodecFail(SzddResult result, const char *inPath, const char *outPath)
{
    return ToolFail(result == SZDD_ERR_WRITE ? outPath : inPath, SzddResultText(result));
}

// Message for an expansion whose length is wrong; returns 1.
int LengthFail(const char *inPath, uint64_t written, uint32_t declared)
{
    char text[128];
    snprintf(text, sizeof text, "expands to %" PRIu64 " bytes, but the header declares %" PRIu32, written, declared);
    return ToolFail(inPath, text);
}

// Compresses IN, with or without the container prefix, into OUT; returns the exit code.
int CompressTo(const char *inPath, const char *outPath, bool container)
{
    std::vector<unsigned char> data;
    if (int error = ReadWholeFile(inPath, &data))
        return ToolFail(inPath, strerror(error));
    if (data.size() > 0xFFFFFFFFu)
        return ToolFail(inPath, "too large for an SZDD stream (over 4 GiB - 1 bytes)");
    PendingOutput out;
    if (int error = BeginOutput(outPath, &out))
        return ToolFail(outPath, strerror(error));
    SzddResult result = container ? SzddPack(data.data(), data.size(), SzddWriteFile, out.file)
                                  : SzddCompress(data.data(), data.size(), SzddWriteFile, out.file);
    if (result != SZDD_OK) {
        AbandonOutput(&out);
        return CodecFail(result, inPath, outPath);
    }
    if (int error = FinishOutput(&out))
        return ToolFail(outPath, strerror(error));
    return SZDD_EXIT_OK;
}

// Expands IN, a bare stream or a container, into OUT; returns the exit code.
int ExpandTo(const char *inPath, const char *outPath, bool container)
{
    FILE *in = fopen(inPath, "rb");
    if (!in)
        return ToolFail(inPath, strerror(errno));
    PendingOutput out;
    if (int error = BeginOutput(outPath, &out)) {
        fclose(in);
        return ToolFail(outPath, strerror(error));
    }
    SzddHeader header;
    SzddResult result = container ? SzddSkipContainerPrefix(SzddReadFile, in) : SZDD_OK;
    if (result == SZDD_OK)
        result = SzddReadHeader(SzddReadFile, in, &header);
    uint64_t written = 0;
    if (result == SZDD_OK)
        result = SzddExpandData(&header, SzddReadFile, in, SzddWriteFile, out.file, &written);
    if (result == SZDD_ERR_LENGTH) {
        fclose(in);
        AbandonOutput(&out);
        return LengthFail(inPath, written, header.expandedLength);
    }
    fclose(in);
    if (result != SZDD_OK) {
        AbandonOutput(&out);
        return CodecFail(result, inPath, outPath);
    }
    if (int error = FinishOutput(&out))
        return ToolFail(outPath, strerror(error));
    return SZDD_EXIT_OK;
}

}  // namespace

int RunCompress(char **operands)
{
    return CompressTo(operands[0], operands[1], false);
}

int RunPack(char **operands)
{
    return CompressTo(operands[0], operands[1], true);
}

int RunExpand(char **operands)
{
    return ExpandTo(operands[0], operands[1], false);
}

int RunUnpack(char **operands)
{
    return ExpandTo(operands[0], operands[1], true);
}

int RunInfo(char **operands)
{
    const char *path = operands[0];
    std::vector<unsigned char> bytes;
    if (int error = ReadWholeFile(path, &bytes))
        return ToolFail(path, strerror(error));
    bool container = SzddIsContainer(bytes.data(), bytes.size()) != 0;
    size_t skip = container ? SzddContainerPrefixSize : 0;
    const unsigned char *stream = bytes.data() + skip;
    size_t streamSize = bytes.size() - skip;

    SzddHeader header;
    SzddResult result = SzddParseHeader(stream, streamSize, &header);
    if (result != SZDD_OK)
        return ToolFail(path, SzddResultText(result));

    SzddMemorySource source = {stream + SzddHeaderSize, streamSize - SzddHeaderSize, 0};
    uint64_t total = 0, written = 0;
    result = SzddExpandData(&header, SzddReadMemory, &source, SzddWriteCount, &total, &written);

    printf("file:            %s\n", path);
    printf("layout:          %s\n", container ? "128-byte executable prefix + SZDD stream" : "SZDD stream");
    printf("magic:           SZDD 88 F0 27 33\n");
    printf("mode:            'A' (0x41)\n");
    if (header.missingChar == 0)
        printf("missing char:    none\n");
    else if (header.missingChar >= 0x20 && header.missingChar < 0x7F)
        printf("missing char:    '%c' (0x%02X)\n", header.missingChar, header.missingChar);
    else
        printf("missing char:    0x%02X\n", header.missingChar);
    printf("declared length: %" PRIu32 "\n", header.expandedLength);
    printf("stream size:     %zu\n", streamSize);
    printf("expands to:      %" PRIu64 " bytes, %s\n", written,
           result == SZDD_OK ? "exactly the declared length" : SzddResultText(result));
    if (result == SZDD_ERR_LENGTH)
        return LengthFail(path, written, header.expandedLength);
    if (result != SZDD_OK)
        return ToolFail(path, SzddResultText(result));
    return SZDD_EXIT_OK;
}
