// os_io.cpp - the console key probe on standard input.
// The probe changes the terminal settings of descriptor 0 for at most a tenth of a
// second and restores them before returning; those settings are shared with every
// process on the terminal, so no other thread may read standard input or change its
// settings meanwhile. Nothing outlives the call but a pushed-back character.
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include "os_internal.h"

int os_kb_hit(void) {
    struct termios saved {};
    // Not a terminal (a file, a pipe): nothing is installed and the stream is read as
    // it normally would be.
    const bool tty = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (tty) {
        struct termios probe = saved;
        // Every local mode off (no line editing, echo or signal keys), and a read
        // returns one byte as soon as it is there or nothing after one tenth.
        probe.c_lflag = 0;
        probe.c_cc[VMIN] = 0;
        probe.c_cc[VTIME] = 1;
        (void)::tcsetattr(STDIN_FILENO, TCSANOW, &probe);
    }
    const int c = ::getchar();
    if (tty) (void)::tcsetattr(STDIN_FILENO, TCSANOW, &saved);

    if (c != EOF) {
        ::ungetc(c, stdin);
        return 1;
    }
    // The empty read left the end-of-file indicator set, and glibc's stream then
    // answers EOF at once: clear it so that the next probe or read waits again.
    ::clearerr(stdin);
    return 0;
}
