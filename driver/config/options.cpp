// The argument-string options: one lookup routine that HbaFindAdapter calls once per keyword.
#include "driver/frame/hba.h"

#define CHAR_BLANK 0x20
#define CHAR_TAB 0x09
#define CHAR_CASE_BIT 0x20  // 'A' | 0x20 == 'a'

// Bytes are taken unsigned: 0x80-0xFF are neither letters, blanks nor digits.
static BOOLEAN HbaIsBlank(UCHAR c) {
    return c == CHAR_BLANK || c == CHAR_TAB;
}

static BOOLEAN HbaIsDigit(UCHAR c) {
    return c >= '0' && c <= '9';
}

// Looks Keyword up in ArgumentString, lower-casing the string in place (A-Z only) on the way.
// KeywordLength characters of Keyword are compared at every position of the string, not only at
// word starts; the first occurrence decides. WantValue 0: 1 when the keyword occurs, else 0.
// Otherwise the decimal number after "keyword =", modulo 2^32, or 0 when the keyword is absent or
// the value malformed (a digit run ends only at the NUL, a blank or a tab). A null string or
// keyword gives 0. Nothing outside the string's bytes and the keyword's KeywordLength bytes is
// read; the string's NUL never matches, so a keyword cannot be found across the string's end.
LONG HbaParseOption(PCHAR ArgumentString, const CHAR* Keyword, ULONG KeywordLength,
                    UCHAR WantValue) {
    PUCHAR text = (PUCHAR)ArgumentString;
    const UCHAR* keyword = (const UCHAR*)Keyword;
    size_t length = 0;
    size_t position = 0;

    if (text == 0 || keyword == 0) {
        return 0;
    }

    while (text[length] != 0) {
        if (text[length] >= 'A' && text[length] <= 'Z') {
            text[length] = (UCHAR)(text[length] | CHAR_CASE_BIT);
        }
        length++;
    }

    if (KeywordLength > length) {
        return 0;
    }

    while (HbaIsBlank(text[position])) {
        position++;
    }
    if (text[position] == 0) {
        return 0;
    }

    // The counter is as wide as the length: a keyword longer than 255 characters is compared
    // whole instead of wrapping after 256.
    for (;;) {
        ULONG matched = 0;
        while (matched < KeywordLength && text[position + matched] != 0 &&
               text[position + matched] == keyword[matched]) {
            matched++;
        }
        if (matched == KeywordLength) {
            break;
        }
        position++;
        if (text[position] == 0) {
            return 0;
        }
    }

    if (WantValue == 0) {
        return 1;
    }

    position += KeywordLength;
    while (HbaIsBlank(text[position])) {
        position++;
    }
    if (text[position] != '=') {
        return 0;
    }
    position++;
    while (HbaIsBlank(text[position])) {
        position++;
    }
    if (text[position] == 0) {
        return 0;
    }

    ULONG value = 0;
    while (text[position] != 0 && !HbaIsBlank(text[position])) {
        if (!HbaIsDigit(text[position])) {
            return 0;
        }
        value = value * 10 + (ULONG)(text[position] - '0');
        position++;
    }
    return (LONG)value;
}
