"""The updater's message boxes, by id: the text as the user reads it (UTF-8 here) and the box style.

Both scenario runners (the Linux stand-in's and the Wine one) import this table; it is the one place
where an expected transcript's ids turn into texts.
"""

CAPTION = "カリヨム"

MESSAGES = {
    "MsgProductMissing": ("カリヨムが正しくインストールされていません", 0x10),
    "MsgConfirm": ("「ペルナ」を更新します   ", 0x41),
    "MsgToolUpdated": ("ペルナを更新しました", 0x40),
    "MsgDayOffFailed": ("休日定義ファイルの更新に失敗しました。\n"
                        "この影響および対処についてはサポートページを参照してください。", 0x30),
    "MsgToolMissing": ("ペルナがインストールされていません。\n"
                       "セットアップでペルナをインストールしてから実行してください", 0x10),
    "MsgAlreadyCurrent": ("すでに更新されています", 0x40),
    "MsgVersionMismatch": ("セットアップされているカリヨムのバージョンが違います", 0x10),
}
for _n in range(1, 7):
    MESSAGES["MsgFailed%d" % _n] = ("更新に失敗しました(%d)" % _n, 0x10)

# Ids of the failure messages of each payload row: opening the staged file, the target, the copy.
ROW_FAILURES = {1: ("MsgFailed1", "MsgFailed2", "MsgFailed3"),
                2: ("MsgFailed4", "MsgFailed5", "MsgFailed6")}
ROW1_REFUSALS = ("MsgToolMissing", "MsgAlreadyCurrent", "MsgVersionMismatch")


def message_id(text, style):
    """The id whose text and style match a transcript entry, or None."""
    for ident, (t, s) in MESSAGES.items():
        if t == text and s == style:
            return ident
    return None
