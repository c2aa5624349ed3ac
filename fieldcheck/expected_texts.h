/* The updater's boxes as the field check expects them: caption, Shift-JIS text and style, byte for byte
 * as src/main/messages.cpp and src/install/messages.cpp define them (a run under Wine holds the two together). */
#pragma once

#include <windows.h>

struct ExpectedBox {
    const char *name;
    const char *text;
    int style;
};

/* カリヨム */
static const char ExpectedCaption[] = "\x83\x4A\x83\x8A\x83\x88\x83\x80";

/* 「ペルナ」を更新します   (three trailing spaces) */
static const struct ExpectedBox BoxConfirm = {
    "MsgConfirm",
    "\x81\x75\x83\x79\x83\x8B\x83\x69\x81\x76\x82\xF0\x8D\x58\x90\x56\x82\xB5\x82\xDC\x82\xB7\x20\x20\x20",
    MB_OKCANCEL | MB_ICONINFORMATION};

/* ペルナを更新しました */
static const struct ExpectedBox BoxToolUpdated = {
    "MsgToolUpdated", "\x83\x79\x83\x8B\x83\x69\x82\xF0\x8D\x58\x90\x56\x82\xB5\x82\xDC\x82\xB5\x82\xBD",
    MB_OK | MB_ICONINFORMATION};

/* ペルナがインストールされていません。\nセットアップでペルナをインストールしてから実行してください */
static const struct ExpectedBox BoxToolMissing = {
    "MsgToolMissing",
    "\x83\x79\x83\x8B\x83\x69\x82\xAA\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x8B\x82\xB3\x82\xEA"
    "\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81\x42\x0A\x83\x5A\x83\x62\x83\x67\x83\x41\x83\x62\x83\x76"
    "\x82\xC5\x83\x79\x83\x8B\x83\x69\x82\xF0\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x8B\x82\xB5"
    "\x82\xC4\x82\xA9\x82\xE7\x8E\xC0\x8D\x73\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2",
    MB_OK | MB_ICONERROR};

/* すでに更新されています */
static const struct ExpectedBox BoxAlreadyCurrent = {
    "MsgAlreadyCurrent", "\x82\xB7\x82\xC5\x82\xC9\x8D\x58\x90\x56\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7",
    MB_OK | MB_ICONINFORMATION};

/* 更新に失敗しました(1), (2), (4): the staged file, the installation folder, the day-off file's stage */
static const struct ExpectedBox BoxFailed1 = {
    "MsgFailed1", "\x8D\x58\x90\x56\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD(1)", MB_OK | MB_ICONERROR};
static const struct ExpectedBox BoxFailed2 = {
    "MsgFailed2", "\x8D\x58\x90\x56\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD(2)", MB_OK | MB_ICONERROR};
static const struct ExpectedBox BoxFailed4 = {
    "MsgFailed4", "\x8D\x58\x90\x56\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD(4)", MB_OK | MB_ICONERROR};
