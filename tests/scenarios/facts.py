"""What the tests hold the updater to, in one place: its message boxes, the names it reads and writes,
the payload times and the payload container layout. Every runner and checker imports these."""

CAPTION = "カリヨム"

# The message boxes, by id: the text as the user reads it (UTF-8 here) and the box style.
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
    "MsgCannotStart": ("ペルナの更新を開始できませんでした。\n"
                       "しばらくしてからもう一度実行してください。", 0x10),
}
for _n in range(1, 7):
    MESSAGES["MsgFailed%d" % _n] = ("更新に失敗しました(%d)" % _n, 0x10)

# Ids of the failure messages of each payload row: opening the staged file, the target, the copy.
ROW_FAILURES = {1: ("MsgFailed1", "MsgFailed2", "MsgFailed3"),
                2: ("MsgFailed4", "MsgFailed5", "MsgFailed6")}
ROW1_REFUSALS = ("MsgToolMissing", "MsgAlreadyCurrent", "MsgVersionMismatch")

# Where the installation directory is registered, under HKEY_LOCAL_MACHINE (value "Path").
APP_PATHS_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\KaryomWin.exe"

# The machine-wide run lock: one run at a time, waited for at most RUN_LOCK_WAIT_SECONDS.
RUN_LOCK_NAME = "Global\\KaryomPernaUpdate"
RUN_LOCK_WAIT_SECONDS = 30

# Files that no run may leave behind: the staged payloads and the temporary files beside the targets.
STRAY_NAMES = ("PERNA.EX_", "KALENDO.IN_", "PERNA.E$_", "KALENDO.I$_")

# Local times the payloads carry (row 1, row 2).
PAYLOAD_LOCAL_TIMES = {"payload": (2015, 4, 21, 19, 50, 50), "payload2": (2015, 4, 30, 13, 49, 6)}

# A payload container: a prefix of this many bytes, then an SZDD stream whose header declares the
# expanded length (4 bytes, little-endian) at this offset of the container.
CONTAINER_PREFIX_SIZE = 128
CONTAINER_LENGTH_OFFSET = CONTAINER_PREFIX_SIZE + 10
# The stream's header: magic, mode, missing character, expanded length; the data follows.
SZDD_HEADER_SIZE = 14


def message_id(text, style):
    """The id whose text and style match a transcript entry, or None."""
    for ident, (t, s) in MESSAGES.items():
        if t == text and s == style:
            return ident
    return None
