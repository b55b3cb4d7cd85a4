/*
 * os_language.h - character-set selector of the libzuOS conversions.
 */
#ifndef ZU_OS_LANGUAGE_H
#define ZU_OS_LANGUAGE_H

/* Passed by value as a 32-bit integer; any other value acts as ZU_OS_CHARSET_SYS. */
typedef enum _ZU_OS_CHARSET {
    ZU_OS_CHARSET_SYS = 0,    /* the system set chosen from LANG */
    ZU_OS_CHARSET_ANSI = 1,   /* always GB18030 */
    ZU_OS_CHARSET_UNICODE = 2 /* UTF-8: copied unchanged */
} ZU_OS_CHARSET;

#endif /* ZU_OS_LANGUAGE_H */
