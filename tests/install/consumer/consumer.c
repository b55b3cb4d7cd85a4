/* A program written against an installed libzuOS: includes os/os.h from the
 * installed headers, links the installed library and calls it. */
#include <os/os.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(void) {
    char path[] = "/tmp/zuos-consumer-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return 1;
    close(fd);

    HANDLE h;
    int rc = os_file_open(path, O_RDWR, &h);
    int32 written = 0;
    int64 size = -1;
    if (rc == OS_OK) {
        rc = os_file_write(h, "installed", 9, &written);
        if (rc == OS_OK) rc = os_file_get_size(h, &size);
        os_file_close(h);
    }
    unlink(path);
    if (rc != OS_OK || size != 9) {
        printf("consumer: failed with %d (size %lld)\n", rc, (long long)size);
        return 1;
    }
    printf("consumer: libzuOS works\n");
    return 0;
}
