// Version table, version text of the HDD system, version screen and the
// ROMDATA check.
#include "update/version/dlFirmVersion.h"

#include "bootenv/bootEnv.h"
#include "bootenv/dlNamespace.h"
#include "update/session/dlFirmUpMain.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

DL_NAMESPACE_BEGIN

// Version head of the flash image: the version lies in bytes 27 to 42.
static const int DL_VER_HEAD_VERSION_AT = 27;
static const int DL_VER_HEAD_VERSION_LEN = 16;
static const int DL_VER_HEAD_TARGET_LEN = 4;
// Room for any formatted version before it is cut to its field.
static const int DL_VER_LINE_SIZE = 80;

// Copies at most the 15 characters a field holds and ends them with NUL.
static void dlFirmVersionFieldCopy(char *field, const char *text)
{
    int i;

    memset(field, 0, DL_VERSION_FIELD);
    if (text == NULL)
        return;
    for (i = 0; i < DL_VERSION_FIELD - 1 && text[i] != '\0'; i++)
        field[i] = text[i];
}

static const char *dlFirmVersionText(const char *text) { return text != NULL ? text : ""; }

// "V<version> <language>" of one flash ROM package.
static void dlFirmVersionUiSet(char *field, DL_DB_INFO *record)
{
    char line[DL_VER_LINE_SIZE];

    memset(line, 0, sizeof line);
    snprintf(line, sizeof line, "V%s %s", dlFirmVersionText(record->version),
             dlFirmVersionText(record->languageCode));
    dlFirmVersionFieldCopy(field, line);
}

static void dlFirmVersionFromGet(char *table, DL_DB_INFO *records)
{
    memset(table + DL_VT_UIF, 0, DL_VERSION_FIELD);
    memset(table + DL_VT_UI0, 0, DL_VERSION_FIELD);
    memset(table + DL_VT_UI1, 0, DL_VERSION_FIELD);
    if (records == NULL)
        return;
    dlFirmVersionUiSet(table + DL_VT_UI1, &records[0]);
    dlFirmVersionUiSet(table + DL_VT_UI0, &records[1]);
    dlFirmVersionUiSet(table + DL_VT_UIF, &records[2]);
}

static void dlFirmVersionEngGet(char *table, int n, DL_DB_INFO *records)
{
    int i;
    char *field;

    memset(table + DL_VT_LSR, 0, DL_VERSION_FIELD);
    memset(table + DL_VT_ENG, 0, DL_VERSION_FIELD);
    memset(table + DL_VT_PFC, 0, DL_VERSION_FIELD);
    memset(table + DL_VT_SCN, 0, DL_VERSION_FIELD);
    if (records == NULL)
        return;
    for (i = 0; i < n; i++) {
        if (records[i].comment == NULL || records[i].version == NULL)
            continue;
        if (strcmp(records[i].comment, "SCANNER_FIRM") == 0)
            field = table + DL_VT_SCN;
        else if (strcmp(records[i].comment, "ENGINE_MAIN_FIRM") == 0)
            field = table + DL_VT_ENG;
        else if (strcmp(records[i].comment, "PFC_FIRM") == 0)
            field = table + DL_VT_PFC;
        else if (strcmp(records[i].comment, "LASER_FIRM") == 0)
            field = table + DL_VT_LSR;
        else
            continue;
        dlFirmVersionFieldCopy(field, records[i].version);
    }
}

static void dlFirmVersionTextGet(char *table, int n, char *text)
{
    char oem[DL_VERSION_FIELD];
    char major[DL_VERSION_FIELD];
    char minor[DL_VERSION_FIELD];
    char shipping[DL_VERSION_FIELD];
    char line[DL_VER_LINE_SIZE];

    memset(table + DL_VT_FRW, 0, DL_VERSION_FIELD);
    dlFirmVersionTxtFindByKey(text, "TARGET", table + DL_VT_FRW, n);
    printf("FRW=%s\n", table + DL_VT_FRW);
    bootUpdateFRWCheck = 1;

    memset(oem, 0, sizeof oem);
    memset(major, 0, sizeof major);
    memset(minor, 0, sizeof minor);
    memset(shipping, 0, sizeof shipping);
    dlFirmVersionTxtFindByKey(text, "OEM_VER", oem, n);
    dlFirmVersionTxtFindByKey(text, "MAJOR", major, n);
    dlFirmVersionTxtFindByKey(text, "MINOR", minor, n);
    dlFirmVersionTxtFindByKey(text, "SHIPPING", shipping, n);
    memset(line, 0, sizeof line);
    sprintf(line, "V%s%s.%s %s", oem, major, minor, shipping);
    dlFirmVersionFieldCopy(table + DL_VT_SYS, line);
    printf("Version=%s\n", table + DL_VT_SYS);
}

// Position of key in the head, searched up to its NUL but never past its
// 128 bytes; -1 when absent.
static int dlFirmVersionHeadFind(const char *head, int headLen, const char *key)
{
    int keyLen = (int)strlen(key);
    int i;

    for (i = 0; i + keyLen <= headLen; i++) {
        if (memcmp(head + i, key, keyLen) == 0)
            return i;
    }
    return -1;
}

// The character `at` bytes after the start of key, as a text of one
// character; empty when the key or the character is missing.
static void dlFirmVersionHeadChar(const char *head, int headLen, const char *key, int at, char *out)
{
    int pos = dlFirmVersionHeadFind(head, headLen, key);

    out[0] = '\0';
    out[1] = '\0';
    if (pos >= 0 && pos + at < headLen)
        out[0] = head[pos + at];
}

static void dlFirmVersionHeadGet(char *table, char *head)
{
    char version[DL_VER_HEAD_VERSION_LEN + 1];
    char oem[2];
    char shipping[2];
    char line[DL_VER_LINE_SIZE];
    int textLen;
    int dots;
    int i;
    int j;

    memset(table + DL_VT_FRW, 0, DL_VERSION_FIELD);
    for (i = 0; i < DL_VER_HEAD_SIZE; i++) {
        if (head[i] == '\t')
            break;
    }
    for (j = 0; j < DL_VER_HEAD_TARGET_LEN && i + 1 + j < DL_VER_HEAD_SIZE; j++) {
        if (head[i + 1 + j] == '\0')
            break;
        table[DL_VT_FRW + j] = head[i + 1 + j];
    }
    bootUpdateFRWCheck = 1;

    // The version runs to its second '.', a NUL or the end of its 16 bytes.
    memset(version, 0, sizeof version);
    dots = 0;
    for (i = 0; i < DL_VER_HEAD_VERSION_LEN; i++) {
        char c = head[DL_VER_HEAD_VERSION_AT + i];
        if (c == '\0')
            break;
        if (c == '.' && ++dots == 2)
            break;
        version[i] = c;
    }

    // The keys are text: nothing after the head's NUL counts.
    for (textLen = 0; textLen < DL_VER_HEAD_SIZE && head[textLen] != '\0'; textLen++)
        ;
    dlFirmVersionHeadChar(head, textLen, "OEM_VER", 8, oem);
    dlFirmVersionHeadChar(head, textLen, "SHIPPING", 9, shipping);
    memset(line, 0, sizeof line);
    sprintf(line, "V%s%s %s", oem, version, shipping);
    dlFirmVersionFieldCopy(table + DL_VT_SYS, line);
}

int dlFirmUsbVersionGet(char *table, int n, DL_DB_INFO *records, char *text, int mode)
{
    if (table == NULL)
        return 0;
    switch (mode) {
    case DL_VER_FROM:
        dlFirmVersionFromGet(table, records);
        break;
    case DL_VER_ENG:
        dlFirmVersionEngGet(table, n, records);
        break;
    case DL_VER_TEXT:
        if (text != NULL)
            dlFirmVersionTextGet(table, n, text);
        break;
    case DL_VER_HEAD:
        if (text != NULL)
            dlFirmVersionHeadGet(table, text);
        break;
    default:
        break;
    }
    return 0;
}

int dlFirmVersionTxtFindByKey(char *text, const char *key, char *value, int len)
{
    char *p = NULL;
    int i;

    if (text != NULL && key != NULL && value != NULL)
        p = strstr(text, key);
    if (p == NULL) {
        printf("no Version\n");
        return -1;
    }
    // The key's line must end within len bytes and within the text.
    for (i = 0; i < len && p[i] != '\0'; i++) {
        if (p[i] == '\r' || p[i] == '\n')
            break;
    }
    if (i >= len || p[i] == '\0') {
        printf("no Version\n");
        return -1;
    }
    p += i + 1;
    // CR LF ends one line; with LF ends this passes over one empty line.
    if (*p == '\r' || *p == '\n')
        p++;
    memset(value, 0, DL_VERSION_FIELD);
    for (i = 0; i < DL_VERSION_FIELD - 1; i++) {
        if (p[i] == '\0' || p[i] == '\r' || p[i] == '\n')
            break;
        value[i] = p[i];
    }
    return 0;
}

/* The version screen from row 4 down: the item whose offer shows the row,
 * its label and its field of the version table. */
static const struct {
    UINT32 item;
    const char *label;
    int field;
} dlVersionRows[] = {
    {DL_ITEM_OSUI, "UIF Version...", DL_VT_UIF},   {DL_ITEM_OSUI, "UI0 Version...", DL_VT_UI0},
    {DL_ITEM_OSUI, "UI1 Version...", DL_VT_UI1},   {DL_ITEM_HDD, "SYS Version...", DL_VT_SYS},
    {DL_ITEM_LSR, "LSR Version...", DL_VT_LSR},    {DL_ITEM_PFC, "PFC Version...", DL_VT_PFC},
    {DL_ITEM_ENGINE, "ENG Version...", DL_VT_ENG}, {DL_ITEM_SCANNER, "SCN Version...", DL_VT_SCN},
};

int dlFirmUsbVersionShow(char *table)
{
    int i;

    bootDispString(0, 42, 1, "Version in update media");
    if (table == NULL)
        return 0;
    for (i = 0; i < (int)(sizeof(dlVersionRows) / sizeof(dlVersionRows[0])); i++) {
        if (dlFirmUpdateModuleEnableFlag & dlVersionRows[i].item) {
            bootDispString(0, 42, 4 + i, dlVersionRows[i].label);
            bootDispString(0, 57, 4 + i, table + dlVersionRows[i].field);
        }
    }
    return 0;
}

void dlFirmUpdateFalseSysVer(char *table)
{
    char line[64];

    memset(line, 0, sizeof line);
    // The SYS field holds at most 15 characters.
    snprintf(line, sizeof line, "ROMDATA Version is %.15s", table != NULL ? table : "");
    bootDispString(0, 10, 2, "-----WARNING: ROMDATA MISMATCH!!----");
    bootDispString(0, 13, 3, line);
    bootDispString(0, 10, 4, "Please REBOOT to use Correct ROMDATA");
    exit(1);
}

DL_NAMESPACE_END
