/**
 * \file
 * \brief Public records shared by the product and libzuOS.
 */
#ifndef ZU_PUBLIC_H
#define ZU_PUBLIC_H

#include "data_types.h"

/** A calendar date and time in local time (see convert_sec_to_rdtime). */
typedef struct _ZUTimeStamp {
    int32 month;    /**< 1..12 (stands before year) */
    int32 year;     /**< full calendar year, e.g. 2024 */
    int32 day;      /**< 1..31 */
    int32 hour;     /**< 0..23 */
    int32 minute;   /**< 0..59 */
    int32 second;   /**< 0..60 */
    int32 mSecond;  /**< milliseconds; never read or written by the library */
    int32 timezone; /**< local offset from UTC in whole hours, east positive */
} ZUTimeStamp;

#endif /* ZU_PUBLIC_H */
