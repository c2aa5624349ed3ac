// The two payloads the updater carries, with their names, times, digests and failure messages.
#include "run_update.h"

#include "payload_digests.h"
#include "payload_times.h"

constexpr PayloadSpec PayloadTable[PayloadCount] = {
    // ToolRow: only an older build of a known size may be replaced.
    {"BIN1",
     "PERNA.EX_",
     "PERNA.EXE",
     TOOL_PAYLOAD_TIME,
     1,
     ToolPayloadDigest,
     &MsgFailed1,
     &MsgFailed2,
     &MsgFailed3},
    // DayOffRow: replaced whatever is there.
    {"BIN2",
     "KALENDO.IN_",
     "KALENDO.INI",
     DAYOFF_PAYLOAD_TIME,
     0,
     DayOffPayloadDigest,
     &MsgFailed4,
     &MsgFailed5,
     &MsgFailed6},
};

namespace {

constexpr size_t NameLength(const char *name)
{
    size_t length = 0;
    while (name[length] != '\0')
        ++length;
    return length;
}

// Every name fits the room the path limits keep for the longest one.
constexpr int NamesFitTheirRoom()
{
    for (const PayloadSpec &row : PayloadTable) {
        if (NameLength(row.stagedName) > LongestPayloadName || NameLength(row.targetName) > LongestPayloadName)
            return 0;
    }
    return 1;
}
static_assert(NamesFitTheirRoom(), "a payload's file name is longer than LongestPayloadName");

}  // namespace
