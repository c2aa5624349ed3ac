// Every message's bytes against an independent Shift-JIS encoding of its text, and its box style.
#include "run_update.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <string>

namespace {

std::string ToCp932(const std::string &utf8)
{
    iconv_t cd = iconv_open("CP932", "UTF-8");
    EXPECT_NE(cd, (iconv_t)-1);
    std::string out(utf8.size() * 2 + 16, '\0');
    char *in = const_cast<char *>(utf8.data());
    size_t inLeft = utf8.size();
    char *outPtr = &out[0];
    size_t outLeft = out.size();
    EXPECT_NE(iconv(cd, &in, &inLeft, &outPtr, &outLeft), (size_t)-1) << utf8;
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

struct Expected {
    const Message *message;
    const char *utf8;
    UINT style;
};

const Expected expected[] = {
    {&MsgProductMissing, "カリヨムが正しくインストールされていません", 0x10},
    {&MsgConfirm, "「ペルナ」を更新します   ", 0x41},
    {&MsgToolUpdated, "ペルナを更新しました", 0x40},
    {&MsgDayOffFailed,
     "休日定義ファイルの更新に失敗しました。\nこの影響および対処についてはサポートページを参照してください。", 0x30},
    {&MsgToolMissing, "ペルナがインストールされていません。\nセットアップでペルナをインストールしてから実行してください",
     0x10},
    {&MsgAlreadyCurrent, "すでに更新されています", 0x40},
    {&MsgVersionMismatch, "セットアップされているカリヨムのバージョンが違います", 0x10},
    {&MsgFailed1, "更新に失敗しました(1)", 0x10},
    {&MsgFailed2, "更新に失敗しました(2)", 0x10},
    {&MsgFailed3, "更新に失敗しました(3)", 0x10},
    {&MsgFailed4, "更新に失敗しました(4)", 0x10},
    {&MsgFailed5, "更新に失敗しました(5)", 0x10},
    {&MsgFailed6, "更新に失敗しました(6)", 0x10},
};

TEST(Messages, BytesAreTheShiftJisEncodingOfTheTextAndStylesMatch)
{
    for (const Expected &e : expected) {
        EXPECT_EQ(std::string(e.message->text), ToCp932(e.utf8)) << e.utf8;
        EXPECT_EQ(e.message->style, e.style) << e.utf8;
    }
    EXPECT_EQ(std::string(MessageCaption), ToCp932("カリヨム"));
}

TEST(Messages, LineFeedIsOneByteAndConfirmKeepsItsThreeSpaces)
{
    EXPECT_NE(strchr(MsgDayOffFailed.text, '\n'), nullptr);
    EXPECT_EQ(strchr(MsgDayOffFailed.text, '\r'), nullptr);
    size_t length = strlen(MsgConfirm.text);
    ASSERT_GT(length, 5u);
    // す (0x82 0xB7), then the three ASCII spaces.
    EXPECT_EQ(std::string(MsgConfirm.text + length - 5), std::string("\x82\xB7   ", 5));
}

TEST(PayloadTable, RowsNameTheirPayloadsTimesAndFailures)
{
    const PayloadSpec &tool = PayloadTable[0];
    const PayloadSpec &dayOff = PayloadTable[1];
    EXPECT_STREQ(tool.resourceName, "BIN1");
    EXPECT_STREQ(tool.stagedName, "PERNA.EX_");
    EXPECT_STREQ(tool.targetName, "PERNA.EXE");
    EXPECT_TRUE(tool.check);
    EXPECT_EQ(tool.failures[0], &MsgFailed1);
    EXPECT_EQ(tool.failures[2], &MsgFailed3);
    EXPECT_STREQ(dayOff.resourceName, "BIN2");
    EXPECT_STREQ(dayOff.stagedName, "KALENDO.IN_");
    EXPECT_STREQ(dayOff.targetName, "KALENDO.INI");
    EXPECT_FALSE(dayOff.check);
    EXPECT_EQ(dayOff.failures[1], &MsgFailed5);
    const SYSTEMTIME &t = dayOff.timestamp;
    EXPECT_EQ(t.wYear, 2015);
    EXPECT_EQ(t.wMonth, 4);
    EXPECT_EQ(t.wDayOfWeek, 0);
    EXPECT_EQ(t.wDay, 30);
    EXPECT_EQ(t.wHour, 13);
    EXPECT_EQ(t.wMinute, 49);
    EXPECT_EQ(t.wSecond, 6);
}

}  // namespace
