#!/usr/bin/env python3
"""Writes the sample day-off definition file: Shift-JIS, CR LF, school years 2011-2019, exactly 4,018 bytes."""
import datetime
import sys

SIZE = 4018


def nth_monday(year, month, n):
    first = datetime.date(year, month, 1)
    offset = (7 - first.weekday()) % 7
    return first + datetime.timedelta(days=offset + 7 * (n - 1))


def vernal_equinox(year):
    return datetime.date(year, 3, int(20.8431 + 0.242194 * (year - 1980) - (year - 1980) // 4))


def autumnal_equinox(year):
    return datetime.date(year, 9, int(23.2488 + 0.242194 * (year - 1980) - (year - 1980) // 4))


def days_off(school_year):
    """The national days off from April of school_year to March of the next year, in date order."""
    y, n = school_year, school_year + 1
    days = [
        ("昭和の日", datetime.date(y, 4, 29)),
        ("憲法記念日", datetime.date(y, 5, 3)),
        ("みどりの日", datetime.date(y, 5, 4)),
        ("こどもの日", datetime.date(y, 5, 5)),
        ("海の日", nth_monday(y, 7, 3)),
        ("敬老の日", nth_monday(y, 9, 3)),
        ("秋分の日", autumnal_equinox(y)),
        ("体育の日", nth_monday(y, 10, 2)),
        ("文化の日", datetime.date(y, 11, 3)),
        ("勤労感謝の日", datetime.date(y, 11, 23)),
        ("天皇誕生日", datetime.date(y, 12, 23)),
        ("元日", datetime.date(n, 1, 1)),
        ("成人の日", nth_monday(n, 1, 2)),
        ("建国記念の日", datetime.date(n, 2, 11)),
        ("春分の日", vernal_equinox(n)),
    ]
    if y >= 2016:
        days.append(("山の日", datetime.date(y, 8, 11)))
    taken = {d for _, d in days}
    for name, d in list(days):
        if d.weekday() == 6:  # a day off on a Sunday moves to the next free day
            sub = d + datetime.timedelta(days=1)
            while sub in taken:
                sub += datetime.timedelta(days=1)
            taken.add(sub)
            days.append(("振替休日", sub))
    school = [("創立記念日", datetime.date(y, 6, 1))]
    school += [("年末休暇", datetime.date(y, 12, day)) for day in (29, 30, 31)]
    school += [("年始休暇", datetime.date(n, 1, day)) for day in (2, 3)]
    days += [(name, d) for name, d in school if d.weekday() < 5 and d not in taken]
    return sorted(days, key=lambda item: item[1])


def main(path):
    lines = []
    for year in range(2011, 2020):
        lines.append(f"[{year}]")
        for number, (name, day) in enumerate(days_off(year), 1):
            lines.append(f"{number}={name}{day.month:02d}{day.day:02d}")
        lines.append("")
    body = "\r\n".join(lines).encode("cp932")
    header = ("; 休日定義ファイル\r\n"
              "; [年度] の下に 番号=休日名MMDD を4月から順に記載する\r\n"
              "; 年度は4月の西暦年、土曜日と日曜日に当たる学校の休みは記載しない\r\n").encode("cp932")
    pad = SIZE - len(header) - len(body)
    if pad < 2:
        sys.exit(f"make_kalendo: content is {len(header) + len(body)} bytes, over {SIZE}")
    rule = b""
    while pad > 0:  # separator lines of at most 78 characters fill the file to its size
        width = min(pad, 80)
        if pad - width in (1, 2):
            width -= 3
        rule += b";" + b"-" * (width - 3) + b"\r\n"
        pad -= width
    data = header + rule + body
    assert len(data) == SIZE
    with open(path, "wb") as out:
        out.write(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "KALENDO.INI")
