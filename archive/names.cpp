#include "archive/names.h"

#include <string.h>

#include "archive/state.h"

static const char* const MEDIA_EXTENSIONS[3] = {"BMP", "WAV", "PNG"};

static char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }

static bool EqualsIgnoringAsciiCase(const char* a, const char* b)
{
    for (; *a && *b; a++, b++) {
        if (AsciiUpper(*a) != AsciiUpper(*b)) return false;
    }
    return *a == *b;
}

bool HasMediaExtension(const char* name)
{
    const char* dot = strrchr(name, '.');
    if (!dot) return false;
    for (int i = 0; i < 3; i++) {
        if (EqualsIgnoringAsciiCase(dot + 1, MEDIA_EXTENSIONS[i])) return true;
    }
    return false;
}

void DeriveBaseName(const char* filePath, char* out, size_t outSize)
{
    size_t length = strlen(filePath);
    size_t start = 0;
    for (size_t i = length; i > 1; i--) {
        if (filePath[i - 1] == '\\') {
            start = i;
            break;
        }
    }
    size_t end = start;
    while (end < length && !(filePath[end] == '.' && end != 0)) end++;

    size_t n = end - start;
    if (n > outSize - 1) n = outSize - 1;
    memcpy(out, filePath + start, n);
    out[n] = '\0';
}

bool CopyEntryFilePart(const char* name, char copy[ENTRY_NAME_COPY_SIZE])
{
    const char* filePart = strrchr(name, '\\');
    filePart = filePart ? filePart + 1 : name;
    size_t n = strlen(filePart);
    if (n >= ENTRY_NAME_COPY_SIZE) {
        copy[0] = '\0';
        return false;
    }
    memcpy(copy, filePart, n + 1);
    return true;
}

int32_t ParseEntryName(char* name, EntryNumbering* numberingMode)
{
    char* filePart = strrchr(name, '\\');
    filePart = filePart ? filePart + 1 : name;

    char* digits = filePart;
    char* p = filePart;
    for (; *p; p++) {
        for (uint32_t mode = 0; mode < 3; mode++) {
            if (*p == NUMBERING_SEPARATORS[mode]) {
                digits = p + 1;
                *numberingMode = (EntryNumbering)mode;
            }
        }
        if (*p == '.') break;
    }
    *p = '\0';

    int64_t value = 0;
    for (char* d = digits; *d; d++) {
        if (*d < '0' || *d > '9') return -1;
        value = value * 10 + (*d - '0');
        if (value > INT32_MAX) return -1;
    }
    return (int32_t)value;
}
