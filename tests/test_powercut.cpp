// Crash safety of the durable calls. Power cuts: each scenario runs on the power-cut
// file system (tests/powercut), which keeps everything not yet made durable in memory;
// the cut kills it, and the backing directory then holds only what was made durable.
// The negative controls show that the bed loses what a careless program would lose.
// Process crashes: a child killed at random moments while replacing a file on disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>

#include "os/os.h"
#include "powercut/powercut_mount.h"
#include "test_support.h"

namespace {

using Names = std::set<std::string>;

using zutest::dir_names;
using zutest::read_file;

class PowerCut : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(mnt);
        if (restarted({})) return;
        const char* why =
            powercut::Mount::built()
                ? "cannot mount the power-cut FUSE file system (needs /dev/fuse and root)"
                : "the power-cut file system was not built (no libfuse3: pkg-config fuse3)";
        if (::getenv("ZUOS_REQUIRE_POWERCUT") != nullptr) FAIL() << why;
        GTEST_SKIP() << why;
    }

    // Cuts the power (if on), leaves exactly `files` in the backing directory (a name
    // ending in '/' is a directory) and mounts it again, with an option if given.
    bool restarted(const std::map<std::string, std::string>& files, const std::string& opt = "") {
        fs.cut();
        std::filesystem::remove_all(backing);
        std::filesystem::create_directory(backing);
        for (const auto& [name, data] : files) {
            if (name.back() == '/')
                std::filesystem::create_directory(backing + "/" + name);
            else
                std::ofstream(backing + "/" + name, std::ios::binary) << data;
        }
        return fs.start(backing, opt);
    }
    std::string at(const std::string& name) const { return mnt + "/" + name; }
    std::optional<std::string> durable(const std::string& name) const {
        return read_file(backing + "/" + name);
    }
    // A file written through the mount and never synced.
    void put(const std::string& name, const std::string& data) {
        std::ofstream(at(name), std::ios::binary) << data;
    }

    zutest::TempDir t;
    std::string backing = t.file("backing"), mnt = t.file("mnt");
    powercut::Mount fs{mnt};
};

// The file system dies on the request after the kth, for every k until the replace
// gets through: each step of it is cut once.
TEST_F(PowerCut, ReplaceLeavesTheOldOrTheNewContentWhereverTheCutFalls) {
    const std::string before(3000, 'o'), after(5000, 'n');
    Names seen;
    int rc = -1;
    for (long k = 1; k < 200 && rc != OS_OK; ++k) {
        SCOPED_TRACE("cut after request " + std::to_string(k));
        ASSERT_TRUE(restarted({{"manifest", before}}, "--cut-after=" + std::to_string(k)));
        rc =
            os_file_replace(at("manifest").c_str(), after.data(), static_cast<int64>(after.size()));
        fs.cut();
        EXPECT_EQ(dir_names(backing), Names{"manifest"});
        const auto got = durable("manifest");
        ASSERT_TRUE(got == before || got == after) << "torn or lost: " << got.value_or("(none)");
        EXPECT_TRUE(rc != OS_OK || got == after) << "a replace that returned must survive";
        seen.insert(got == before ? "old" : "new");
    }
    EXPECT_EQ(rc, OS_OK);
    EXPECT_EQ(seen, (Names{"new", "old"}));
}

// The file's new data, its new name and the removal of the old name are all durable
// once the call returns; after a plain rename the cut brings back the old state.
TEST_F(PowerCut, OnlyADurableRenameSurvivesTheCut) {
    struct Case {
        const char* what;
        const char* to;
        int (*rename)(const char*, const char*);
        bool survives;
    };
    const Case kCases[] = {
        {"durable rename in one directory", "b", os_file_rename_durable, true},
        {"durable rename into another directory", "sub/b", os_file_rename_durable, true},
        {"plain rename without syncs (negative control)", "b", ::rename, false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(restarted({{"sub/", ""}, {"a", "old"}}));
        put("a", "new");
        ASSERT_EQ(c.rename(at("a").c_str(), at(c.to).c_str()), 0);
        fs.cut();
        using Got = std::optional<std::string>;
        EXPECT_EQ(durable(c.to), c.survives ? Got("new") : std::nullopt);
        EXPECT_EQ(durable("a"), c.survives ? std::nullopt : Got("old"));
    }
}

// A log that reserves its space and syncs each record's data only; a record written
// after the last sync is lost (negative control).
TEST_F(PowerCut, OnlyDatasyncedRecordsSurvive) {
    constexpr int32 kRec = 4096;
    const std::string rec(kRec, 'r');
    ASSERT_TRUE(restarted({{"log", ""}}));
    HANDLE h = -1;
    int32 n = 0;
    ASSERT_EQ(os_file_open(at("log").c_str(), O_RDWR, &h), OS_OK);
    ASSERT_EQ(os_file_allocate(h, 0, 16 * kRec), OS_OK);
    ASSERT_EQ(os_file_flush(h), OS_OK);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(os_file_pwrite(h, i * kRec, rec.data(), kRec, &n), OS_OK);
    EXPECT_EQ(os_file_datasync(h), OS_OK);
    EXPECT_EQ(os_file_pwrite(h, 3 * kRec, rec.data(), kRec, &n), OS_OK);
    os_file_close(h);
    fs.cut();
    const std::string log = durable("log").value_or("");
    ASSERT_EQ(log.size(), 16u * kRec) << "the reservation was synced";
    EXPECT_EQ(log.substr(0, 3 * kRec), rec + rec + rec);
    EXPECT_EQ(log.substr(3 * kRec, kRec), std::string(kRec, '\0'))
        << "a write without sync is lost (negative control)";
}

TEST_F(PowerCut, AFailedSyncFailsTheReplaceAndLeavesTheOldFileAlone) {
    ASSERT_TRUE(restarted({{"manifest", "old"}}, "--fail-fsync=.manifest.*"));
    EXPECT_EQ(os_file_replace(at("manifest").c_str(), "new", 3), EIO);
    EXPECT_EQ(dir_names(mnt), Names{"manifest"}) << "no temporary file left";
    EXPECT_EQ(read_file(at("manifest")), "old");
    fs.cut();
    EXPECT_EQ(dir_names(backing), Names{"manifest"});
    EXPECT_EQ(durable("manifest"), "old");
}

// Why the header says a retried sync is no recovery.
TEST_F(PowerCut, ASyncRetriedAfterAnErrorSucceedsWithoutTheLostData) {
    ASSERT_TRUE(restarted({{"log", ""}}, "--fail-fsync=log"));
    HANDLE h = -1;
    int32 n = 0;
    ASSERT_EQ(os_file_open(at("log").c_str(), O_WRONLY, &h), OS_OK);
    EXPECT_EQ(os_file_write(h, "abc", 3, &n), OS_OK);
    EXPECT_EQ(os_file_flush(h), EIO);
    EXPECT_EQ(os_file_flush(h), OS_OK);
    os_file_close(h);
    fs.cut();
    EXPECT_EQ(durable("log"), "");
}

// Process crashes on the real disk: whatever moment the kill hits, one whole version
// is in place, and each crash leaves at most one temporary, which later replaces leave
// alone.
TEST(ReplaceCrash, SigkillAtRandomMomentsLeavesOneWholeVersion) {
    zutest::TempDir t;
    const std::string file = t.file("manifest");
    const std::string a(6000, 'a'), b(2000, 'b');
    ASSERT_EQ(os_file_replace(file.c_str(), a.data(), static_cast<int64>(a.size())), OS_OK);
    std::mt19937 rng(static_cast<unsigned>(::testing::UnitTest::GetInstance()->random_seed()));
    size_t leftovers = 0;
    for (int run = 0; run < 200; ++run) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            for (int i = 0; i < 100000; ++i) {
                const std::string& s = i % 2 ? a : b;
                os_file_replace(file.c_str(), s.data(), static_cast<int64>(s.size()));
            }
            ::_exit(0);
        }
        ::usleep(rng() % 4000);
        ::kill(pid, SIGKILL);
        zutest::reap(pid);
        const auto got = read_file(file);
        ASSERT_TRUE(got == a || got == b) << "run " << run << ": torn or lost";
        const size_t now = dir_names(t.path()).size() - 1;
        ASSERT_LE(now - leftovers, 1u) << "run " << run;
        leftovers = now;
    }
    ASSERT_EQ(os_file_replace(file.c_str(), "c", 1), OS_OK);
    EXPECT_EQ(read_file(file), "c");
    EXPECT_EQ(dir_names(t.path()).size() - 1, leftovers) << "leftovers are ignored, not reused";
}

}  // namespace
