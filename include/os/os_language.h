/**
 * \file
 * \brief Character-set selector and converter handle of the libzuOS conversions.
 *
 * The functions are declared in os/os.h.
 */
#ifndef ZU_OS_LANGUAGE_H
#define ZU_OS_LANGUAGE_H

/** A character-set selector. Passed by value as a 32-bit integer; any other value
 * acts as ZU_OS_CHARSET_SYS. */
typedef enum _ZU_OS_CHARSET {
    ZU_OS_CHARSET_SYS = 0,    /**< the system set chosen from LANG */
    ZU_OS_CHARSET_ANSI = 1,   /**< always GB18030 */
    ZU_OS_CHARSET_UNICODE = 2 /**< UTF-8: copied unchanged */
} ZU_OS_CHARSET;

/** A reusable converter between two character sets (os_lang_converter_open /
 * os_lang_converter_close); NULL is invalid. One thread at a time. */
typedef struct OSLangConverter* LangConvHandle;

#endif /* ZU_OS_LANGUAGE_H */
