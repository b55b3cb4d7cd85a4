// cmd_ipc.cpp - "zuos ipc KEYFILE [--json] [--remove [--force]]": the System V key that the
// library derives from a key file, the semaphore set and shared-memory segment under
// it, and their removal after a crash. The tool talks to System V directly; it never
// creates the key file, which would give a new inode and so a different key.
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "os/os.h"
#include "os_internal.h"
#include "zuos.h"

namespace zuos {

namespace {

constexpr const char kHelp[] =
    "usage: zuos ipc KEYFILE [--json] [--remove [--force]]\n"
    "\n"
    "Prints the System V key that the library derives from KEYFILE (ftok with project\n"
    "id 0) and what exists under it:\n"
    "  semaphore  a process semaphore's set: its count (semaphore 0), its user count\n"
    "             (semaphore 1, the processes that have it open) and the last process\n"
    "             that operated on each\n"
    "  segment    a shared-memory segment (also a process mutex): its size, the number\n"
    "             of attached processes and the process that created it\n"
    "KEYFILE must exist; it is never created.\n"
    "\n"
    "  --json     the same facts, and what was removed, as one JSON object\n"
    "  --remove   remove the semaphore set and the segment under the key. Nothing is\n"
    "             removed while a process is registered with the set or attached to\n"
    "             the segment, nor when the set is not one the library made (it\n"
    "             always makes two semaphores): exit status 1, unless --force.\n"
    "  --force    with --remove: remove even then. Processes waiting on the set get\n"
    "             EIDRM; attached processes keep the old memory until they detach,\n"
    "             and it is no longer shared with new users.\n";

struct SemSet {
    int id = -1;
    int err = 0;  // errno of a failed lookup other than "no set"
    unsigned long nsems = 0;
    int count = -1, users = -1;
    int count_pid = -1, users_pid = -1;
    // The library always makes two: the count and the number of users.
    bool library_made() const { return nsems == OS_PROC_SEMA_NSEMS; }
};

struct Segment {
    int id = -1;
    int err = 0;
    struct shmid_ds ds {};
};

std::string errno_text(int e) {
    return result_text(e);
}

SemSet find_sem(key_t key) {
    SemSet s;
    s.id = semget(key, 0, 0);
    if (s.id == -1) {
        if (errno != ENOENT) s.err = errno;
        return s;
    }
    struct semid_ds ds {};
    zu::semun arg{};
    arg.buf = &ds;
    if (semctl(s.id, 0, IPC_STAT, arg) == -1) {
        s.err = errno;
        return s;
    }
    s.nsems = ds.sem_nsems;
    s.count = semctl(s.id, OS_PROC_SEMA_COUNT, GETVAL);
    s.count_pid = semctl(s.id, OS_PROC_SEMA_COUNT, GETPID);
    if (s.nsems > OS_PROC_SEMA_USERS) {
        s.users = semctl(s.id, OS_PROC_SEMA_USERS, GETVAL);
        s.users_pid = semctl(s.id, OS_PROC_SEMA_USERS, GETPID);
    }
    return s;
}

Segment find_shm(key_t key) {
    Segment g;
    g.id = shmget(key, 0, 0);
    if (g.id == -1) {
        if (errno != ENOENT) g.err = errno;
        return g;
    }
    if (shmctl(g.id, IPC_STAT, &g.ds) == -1) g.err = errno;
    return g;
}

void print_sem(const SemSet& s) {
    if (s.id == -1 && s.err == 0) {
        std::printf("%-11snone\n", "semaphore");
    } else if (s.err != 0) {
        std::printf("%-11scannot be examined: %s\n", "semaphore", errno_text(s.err).c_str());
    } else if (!s.library_made()) {
        std::printf(
            "%-11sid %d: %lu semaphore%s, first value %d, last operation by pid %d "
            "(not a set the library made)\n",
            "semaphore", s.id, s.nsems, s.nsems == 1 ? "" : "s", s.count, s.count_pid);
    } else {
        std::printf(
            "%-11sid %d: %lu semaphores, count %d, users %d, last operation by pid %d "
            "(count) and %d (users)\n",
            "semaphore", s.id, s.nsems, s.count, s.users, s.count_pid, s.users_pid);
    }
}

void print_shm(const Segment& g) {
    if (g.id == -1 && g.err == 0) {
        std::printf("%-11snone\n", "segment");
    } else if (g.err != 0) {
        std::printf("%-11scannot be examined: %s\n", "segment", errno_text(g.err).c_str());
    } else {
        std::printf(
            "%-11sid %d: %llu bytes, attached %llu, creator pid %d, last attach or "
            "detach by pid %d\n",
            "segment", g.id, static_cast<unsigned long long>(g.ds.shm_segsz),
            static_cast<unsigned long long>(g.ds.shm_nattch), static_cast<int>(g.ds.shm_cpid),
            static_cast<int>(g.ds.shm_lpid));
    }
}

std::string sem_json(const SemSet& s) {
    if (s.id == -1 && s.err == 0) return "null";
    if (s.err != 0) return JsonObject().raw("error", result_json(s.err)).text();
    JsonObject o;
    o.num("id", s.id).num("semaphores", static_cast<long long>(s.nsems)).num("count", s.count);
    if (s.nsems > OS_PROC_SEMA_USERS) o.num("users", s.users);
    o.num("count_pid", s.count_pid);
    if (s.nsems > OS_PROC_SEMA_USERS) o.num("users_pid", s.users_pid);
    return o.flag("library_made", s.library_made()).text();
}

std::string shm_json(const Segment& g) {
    if (g.id == -1 && g.err == 0) return "null";
    if (g.err != 0) return JsonObject().raw("error", result_json(g.err)).text();
    return JsonObject()
        .num("id", g.id)
        .num("bytes", static_cast<long long>(g.ds.shm_segsz))
        .num("attached", static_cast<long long>(g.ds.shm_nattch))
        .num("creator_pid", g.ds.shm_cpid)
        .num("last_pid", g.ds.shm_lpid)
        .text();
}

// Why --remove without --force leaves everything in place, or "" when it may go on.
std::string refusal(const SemSet& sem, const Segment& shm) {
    std::string why;
    const auto add = [&why](const std::string& part) {
        why += (why.empty() ? "" : " and ") + part;
    };
    if (sem.id != -1 && !sem.library_made())
        add("semaphore set " + std::to_string(sem.id) + " is not a set the library made");
    else if (sem.id != -1 && sem.users > 0)
        add("semaphore set " + std::to_string(sem.id) + " has " + std::to_string(sem.users) +
            " registered process(es)");
    if (shm.id != -1 && shm.ds.shm_nattch > 0)
        add("segment " + std::to_string(shm.id) + " has " +
            std::to_string(static_cast<unsigned long long>(shm.ds.shm_nattch)) +
            " attached process(es)");
    return why;
}

// The --remove part, after the objects were shown; removed collects what went, as
// JSON strings.
int remove_objects(const SemSet& sem, const Segment& shm, bool remove, bool force, bool json,
                   std::vector<std::string>* removed) {
    if (sem.err != 0 || shm.err != 0)
        return failure("ipc", "cannot examine everything under the key");
    if (!remove) return kOk;
    if (sem.id == -1 && shm.id == -1) {
        if (!json) std::printf("nothing to remove\n");
        return kOk;
    }
    // All or nothing: an operator who forgot one user should not find half the state
    // gone.
    if (const std::string why = refusal(sem, shm); !force && !why.empty())
        return failure("ipc", why + "; nothing removed (use --force to remove anyway)");
    int rc = kOk;
    if (sem.id != -1) {
        if (semctl(sem.id, 0, IPC_RMID) == 0) {
            removed->push_back(json_quote("semaphore"));
            if (!json) std::printf("removed semaphore set %d\n", sem.id);
        } else {
            int e = errno;
            rc = failure("ipc", "cannot remove semaphore set " + std::to_string(sem.id) + ": " +
                                    errno_text(e));
        }
    }
    if (shm.id != -1) {
        if (shmctl(shm.id, IPC_RMID, nullptr) == 0) {
            removed->push_back(json_quote("segment"));
            if (!json) std::printf("removed segment %d\n", shm.id);
        } else {
            int e = errno;
            rc = failure("ipc",
                         "cannot remove segment " + std::to_string(shm.id) + ": " + errno_text(e));
        }
    }
    return rc;
}

}  // namespace

int cmd_ipc(int argc, char** argv) {
    Args args = Args::parse(argc, argv, {}, {"remove", "force", "json"});
    if (!args.error.empty()) return usage_error("ipc", args.error);
    if (args.help) {
        std::fputs(kHelp, stdout);
        return kOk;
    }
    if (args.positional.empty()) return usage_error("ipc", "missing key file");
    if (args.positional.size() > 1)
        return usage_error("ipc", "unexpected argument '" + args.positional[1] + "'");
    const bool remove = args.has("remove"), force = args.has("force"), json = args.has("json");
    if (force && !remove) return usage_error("ipc", "--force only goes with --remove");
    const std::string& file = args.positional[0];

    // ftok only stats the file, but check first so that the message is about the
    // file and it is clear nothing was created.
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) {
        int e = errno;
        return failure("ipc", "key file '" + file + "': " + errno_text(e) +
                                  "; it is not created, so no key is derived");
    }
    key_t key = ftok(file.c_str(), OS_IPC_KEY_PROJECT_ID);
    if (key == -1) {
        int e = errno;
        return failure("ipc", "cannot derive a key from '" + file + "': " + errno_text(e));
    }

    const SemSet sem = find_sem(key);
    const Segment shm = find_shm(key);
    if (!json) {
        std::printf("%-11s%s\n", "key file", file.c_str());
        std::printf("%-11s0x%08x (%d)\n", "key", static_cast<unsigned>(key), static_cast<int>(key));
        print_sem(sem);
        print_shm(shm);
    }
    std::vector<std::string> removed;
    const int rc = remove_objects(sem, shm, remove, force, json, &removed);
    if (json)
        std::printf("%s\n", JsonObject()
                                .str("key_file", file)
                                .num("key", key)
                                .raw("semaphore", sem_json(sem))
                                .raw("segment", shm_json(shm))
                                .raw("removed", json_array(removed))
                                .text()
                                .c_str());
    return rc;
}

}  // namespace zuos
