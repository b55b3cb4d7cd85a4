// powercut_fs: a FUSE file system for crash tests. It passes through to a backing
// directory but keeps in memory every change that has not been made durable:
//   - a file's data, size and mode, until fsync or fdatasync of that file;
//   - creations, renames and removals in a directory, until fsync of the directory.
// The durable state is written through to the backing directory at each sync, so
// killing the process (SIGKILL, then a lazy unmount) is a power cut: the backing
// directory is left holding exactly what was made durable, the most hostile outcome
// POSIX allows (a name whose directory was synced but whose data was not is empty).
//
// Usage: powercut_fs BACKING MOUNTPOINT [--cut-after=N] [--fail-fsync=PATTERN] [--hold-reads]
//   --cut-after=N        the process ends (a power cut) on the request after the Nth
//   --fail-fsync=PATTERN the first fsync of a file whose name matches the fnmatch
//                        PATTERN fails with EIO and drops the file's unsynced data,
//                        as Linux does; a later fsync succeeds without bringing it back
//   --hold-reads         a read is answered only once SIGUSR1 has come, so that it stays
//                        in flight as long as a test wants (and with it every other
//                        request); the process ends by itself after a minute, since a
//                        reader waiting on it cannot be killed
// Runs in the foreground, single-threaded. Directories are those found in the backing
// directory at the start (none is made or removed); hard and symbolic links are not
// supported.
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fnmatch.h>
#include <fuse.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "../test_support.h"

namespace {

namespace fs = std::filesystem;

struct Node {
    std::string name;  // the last one given, for --fail-fsync (a handle's request has no path)
    bool dir = false;
    mode_t mode = 0, synced_mode = 0;
    std::string data, synced;                        // a file's volatile and durable bytes
    std::map<std::string, Node*> kids, synced_kids;  // a directory's entries, likewise
};

// Nodes live as long as the process: an open handle may outlive every name.
std::deque<Node> g_nodes;
Node* g_root = nullptr;
std::string g_backing, g_fail_fsync;
long g_cut_after = 0, g_requests = 0;
bool g_hold_reads = false;
volatile sig_atomic_t g_released = 0;

Node* make(const std::string& name, bool dir, mode_t mode) {
    Node& n = g_nodes.emplace_back();
    n.name = name;
    n.dir = dir;
    n.mode = n.synced_mode = mode & 07777;
    return &n;
}

// Called first by every request: past the chosen count, the power goes.
void cut_point() {
    if (g_cut_after > 0 && ++g_requests > g_cut_after) ::_exit(0);
}

Node* lookup(std::string_view path) {
    Node* n = g_root;
    size_t i = 0;
    while (n != nullptr && i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        if (j > i) {
            auto it = n->dir ? n->kids.find(std::string(path.substr(i, j - i))) : n->kids.end();
            n = it == n->kids.end() ? nullptr : it->second;
        }
        i = j + 1;
    }
    return n;
}

// The node a request is about: its open handle, else its path.
Node* node(const char* path, fuse_file_info* fi) {
    if (fi != nullptr && fi->fh != 0) return reinterpret_cast<Node*>(fi->fh);
    return path ? lookup(path) : nullptr;
}

// A path's directory node and last name.
std::pair<Node*, std::string> entry(const char* path) {
    std::string_view p(path);
    size_t slash = p.rfind('/');
    return {lookup(p.substr(0, slash)), std::string(p.substr(slash + 1))};
}

void load(Node* d, const fs::path& at) {
    for (const auto& e : fs::directory_iterator(at)) {
        Node* n = make(e.path().filename(), e.is_directory(),
                       static_cast<mode_t>(e.status().permissions()));
        if (n->dir)
            load(n, e.path());
        else
            n->data = n->synced = zutest::read_file(e.path()).value_or("");
        d->kids[e.path().filename()] = d->synced_kids[e.path().filename()] = n;
    }
}

// Writes the durable state below d into the backing directory at.
void store(const Node* d, const fs::path& at) {
    for (const auto& [name, n] : d->synced_kids) {
        if (n->dir) {
            fs::create_directory(at / name);
            store(n, at / name);
        } else {
            std::ofstream(at / name, std::ios::binary) << n->synced;
        }
        fs::permissions(at / name, static_cast<fs::perms>(n->dir ? n->mode : n->synced_mode));
    }
}

// Rewrites the whole backing directory: crash tests keep a few small files, so that is
// simpler than tracking what changed. A failure of the backing store itself throws,
// which ends the process: there is no honest state to keep then.
void store_all() {
    for (const auto& e : fs::directory_iterator(g_backing)) fs::remove_all(e.path());
    store(g_root, g_backing);
}

int do_getattr(const char* path, struct stat* st, fuse_file_info* fi) {
    cut_point();
    const Node* n = node(path, fi);
    if (n == nullptr) return -ENOENT;
    *st = {};
    st->st_mode = (n->dir ? S_IFDIR : S_IFREG) | n->mode;
    st->st_nlink = n->dir ? 2 : 1;
    st->st_uid = ::getuid();
    st->st_gid = ::getgid();
    st->st_size = static_cast<off_t>(n->data.size());
    st->st_blocks = st->st_size / 512 + 1;
    return 0;
}

int do_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info* fi,
               fuse_readdir_flags) {
    cut_point();
    const Node* d = node(path, fi);
    for (const auto& kid : d->kids) fill(buf, kid.first.c_str(), nullptr, 0, fuse_fill_dir_flags{});
    return 0;
}

// The kernel has looked every name up before these run (no entry is cached), so it
// has already answered missing names, names taken and files that are directories.
int do_create(const char* path, mode_t mode, fuse_file_info* fi) {
    cut_point();
    auto [d, name] = entry(path);
    fi->fh = reinterpret_cast<uint64_t>(d->kids[name] = make(name, false, mode));
    return 0;
}

int do_unlink(const char* path) {
    cut_point();
    auto [d, name] = entry(path);
    d->kids.erase(name);
    return 0;
}

int do_rename(const char* from, const char* to, unsigned int flags) {
    cut_point();
    if (flags != 0) return -EINVAL;
    auto [sd, sname] = entry(from);
    auto [td, tname] = entry(to);
    auto old = td->kids.find(tname);
    if (old != td->kids.end() && !old->second->kids.empty()) return -ENOTEMPTY;
    Node* n = td->kids[tname] = sd->kids.at(sname);
    sd->kids.erase(sname);
    n->name = tname;
    return 0;
}

int do_open(const char* path, fuse_file_info* fi) {
    cut_point();
    Node* n = lookup(path);
    if (fi->flags & O_TRUNC) n->data.clear();
    fi->fh = reinterpret_cast<uint64_t>(n);
    return 0;
}

int do_read(const char* path, char* buf, size_t size, off_t off, fuse_file_info* fi) {
    cut_point();
    sigset_t none;  // SIGUSR1 is blocked everywhere else, so none is missed
    ::sigemptyset(&none);
    while (g_hold_reads && !g_released) ::sigsuspend(&none);
    const std::string& d = node(path, fi)->data;
    if (static_cast<size_t>(off) >= d.size()) return 0;
    size = std::min(size, d.size() - static_cast<size_t>(off));
    ::memcpy(buf, d.data() + off, size);
    return static_cast<int>(size);
}

int do_write(const char* path, const char* buf, size_t size, off_t off, fuse_file_info* fi) {
    cut_point();
    std::string& d = node(path, fi)->data;
    if (d.size() < off + size) d.resize(off + size);
    ::memcpy(d.data() + off, buf, size);
    return static_cast<int>(size);
}

int do_truncate(const char* path, off_t size, fuse_file_info* fi) {
    cut_point();
    node(path, fi)->data.resize(static_cast<size_t>(size));
    return 0;
}

int do_fallocate(const char* path, int mode, off_t off, off_t len, fuse_file_info* fi) {
    cut_point();
    if (mode != 0) return -EOPNOTSUPP;
    std::string& d = node(path, fi)->data;
    if (d.size() < static_cast<size_t>(off + len)) d.resize(static_cast<size_t>(off + len));
    return 0;
}

int do_chmod(const char* path, mode_t mode, fuse_file_info* fi) {
    cut_point();
    node(path, fi)->mode = mode & 07777;
    return 0;
}

int do_fsync(const char* path, int, fuse_file_info* fi) {
    cut_point();
    Node* n = node(path, fi);
    if (!g_fail_fsync.empty() && ::fnmatch(g_fail_fsync.c_str(), n->name.c_str(), 0) == 0) {
        g_fail_fsync.clear();
        n->data = n->synced;
        n->mode = n->synced_mode;
        return -EIO;
    }
    n->synced = n->data;
    n->synced_mode = n->mode;
    store_all();
    return 0;
}

int do_fsyncdir(const char* path, int, fuse_file_info* fi) {
    cut_point();
    Node* d = node(path, fi);
    d->synced_kids = d->kids;
    store_all();
    return 0;
}

void* do_init(fuse_conn_info* conn, fuse_config* cfg) {
    // A held read must not wait for attributes the kernel would ask for first.
    if (g_hold_reads) conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
    cfg->nullpath_ok = 1;  // an unlinked file is still reached through its handle
    cfg->hard_remove = 1;  // no hidden ".fuse_hidden" files for unlinked open ones
    cfg->entry_timeout = cfg->attr_timeout = cfg->negative_timeout = 0;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        ::fprintf(stderr,
                  "usage: %s BACKING MOUNTPOINT [--cut-after=N] [--fail-fsync=PATTERN] "
                  "[--hold-reads]\n",
                  argv[0]);
        return 2;
    }
    g_backing = fs::absolute(argv[1]);  // fuse_main changes directory
    for (int i = 3; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a.rfind("--cut-after=", 0) == 0) g_cut_after = ::atol(argv[i] + 12);
        if (a.rfind("--fail-fsync=", 0) == 0) g_fail_fsync = argv[i] + 13;
        g_hold_reads = g_hold_reads || a == "--hold-reads";
    }
    if (g_hold_reads) {
        ::signal(SIGUSR1, [](int) { g_released = 1; });
        sigset_t release;
        ::sigemptyset(&release);
        ::sigaddset(&release, SIGUSR1);
        ::sigprocmask(SIG_BLOCK, &release, nullptr);
        ::alarm(60);
    }
    g_root = make("", true, 0755);
    load(g_root, g_backing);

    fuse_operations ops{};
    ops.getattr = do_getattr;
    ops.unlink = do_unlink;
    ops.rename = do_rename;
    ops.chmod = do_chmod;
    ops.truncate = do_truncate;
    ops.open = do_open;
    ops.read = do_read;
    ops.write = do_write;
    ops.fsync = do_fsync;
    ops.opendir = [](const char* p, fuse_file_info* fi) { return do_open(p, fi); };
    ops.readdir = do_readdir;
    ops.fsyncdir = do_fsyncdir;
    ops.init = do_init;
    ops.create = do_create;
    ops.utimens = [](const char*, const timespec*, fuse_file_info*) { return 0; };
    ops.fallocate = do_fallocate;

    char fg[] = "-f", single[] = "-s";
    char* fargs[] = {argv[0], fg, single, argv[2], nullptr};
    return fuse_main(4, fargs, &ops, nullptr);
}
