/* Built as strict C11: os/os.h alone must give every type, code and function. */
#include <os/os.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

_Static_assert(sizeof(bool) == 1, "bool is one byte");
_Static_assert(sizeof(ZUTimeStamp) == 32, "ZUTimeStamp is eight int32 fields");
_Static_assert(OS_ERR_FILE_SHORT_READ == 110206 && OS_ERR_NET_BAD_IP == 119504,
               "result codes are part of the interface");

#define CHECK(c)                                       \
    do {                                               \
        if (!(c)) {                                    \
            fprintf(stderr, "%d: %s\n", __LINE__, #c); \
            return 1;                                  \
        }                                              \
    } while (0)

int main(void) {
    char path[] = "/tmp/zuos-c11-XXXXXX";
    int fd = mkstemp(path);
    CHECK(fd >= 0);
    close(fd);

    HANDLE h = -1;
    CHECK(os_file_open(path, O_RDWR, &h) == OS_OK && h >= 0);
    int32 n = 0;
    CHECK(os_file_write(h, "abcdef", 6, &n) == OS_OK && n == 6);
    char buf[8] = {0};
    CHECK(os_file_seek_read(h, 2, buf, 8, &n) == OS_ERR_FILE_SHORT_READ && n == 4);
    CHECK(memcmp(buf, "cdef", 4) == 0);
    CHECK(os_file_seek64(h, 0, SEEK_SET) == OS_OK);
    CHECK(os_file_close(h) == OS_OK);
    unlink(path);
    CHECK(os_file_access(path, F_OK) == OS_ERR_FILE_NOT_FOUND);
    CHECK(os_file_open(path, O_RDONLY, &h) == 2 && h == -1);
    puts("c11 smoke: ok");
    return 0;
}
