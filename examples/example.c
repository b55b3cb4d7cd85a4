/* A small program that uses libzuOS: writes a file, reads it back at an offset and
 * reports its size. */
#include <os/os.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(void) {
    char path[] = "/tmp/zuos-example-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return 1;
    close(fd);

    HANDLE h;
    int rc = os_file_open(path, O_RDWR, &h);
    if (rc != OS_OK) {
        printf("os_file_open: %d\n", rc);
        return 1;
    }
    const char text[] = "hello from libzuOS";
    int32 n = 0;
    rc = os_file_write(h, text, (int32)strlen(text), &n);
    char buf[16] = {0};
    int32 got = 0;
    if (rc == OS_OK) rc = os_file_seek_read(h, 6, buf, 4, &got);
    int64 size = 0;
    if (rc == OS_OK) rc = os_file_get_size(h, &size);
    os_file_close(h);
    unlink(path);
    if (rc != OS_OK) {
        printf("failed: %d\n", rc);
        return 1;
    }
    printf("wrote %d bytes, read \"%s\" at offset 6, size %lld\n", (int)n, buf, (long long)size);
    return 0;
}
