// The shared record file: records in place, the journal that a crash leaves,
// refusals, and locks that keep two processes from losing each other's
// changes.
#include "crc32.h"
#include "door_harness.h"
#include "records.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using od::RecordFile;

std::unique_ptr<RecordFile> open_file(const TempDir& dir, std::size_t size = 8,
                                      std::chrono::milliseconds wait = RecordFile::lock_wait) {
    std::string problem;
    auto file = RecordFile::open(dir.file("marks.dat"), size, problem, wait);
    EXPECT_TRUE(file) << problem;
    return file;
}

std::string read_record(RecordFile& file, long index) {
    std::string record(8, '?');
    EXPECT_TRUE(file.read(index, record.data()));
    return record;
}

TEST(RecordFile, ReadsWritesAndGrowsWithZeroRecords) {
    TempDir dir;
    auto file = open_file(dir);
    EXPECT_EQ(file->count(), 0);
    EXPECT_EQ(read_record(*file, 3), std::string(8, '\0')); // past the end
    ASSERT_TRUE(file->write(2, "CCCCCCCC"));
    ASSERT_TRUE(file->write(0, "AAAAAAAA"));
    EXPECT_EQ(file->count(), 3);
    EXPECT_EQ(dir.read("marks.dat"), "AAAAAAAA" + std::string(8, '\0') + "CCCCCCCC");
    EXPECT_EQ(dir.read("marks.dat-journal"), ""); // nothing left half done
    std::string record(8, '\0');
    ASSERT_TRUE(file->update(2, record.data(), [](void* r) {
        static_cast<char*>(r)[0] = 'D';
        return true;
    }));
    EXPECT_EQ(record, "DCCCCCCC");
    ASSERT_TRUE(file->update(0, record.data(), [](void*) { return false; })); // left alone
    EXPECT_EQ(dir.read("marks.dat"), "AAAAAAAA" + std::string(8, '\0') + "DCCCCCCC");
    errno = 0;
    EXPECT_FALSE(file->read(-1, record.data()));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(file->write(RecordFile::max_file / 8, record.data())); // past a gigabyte
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(file->write(RecordFile::max_file / 8 - 1, record.data()));
}

TEST(RecordFile, RefusesWhatIsNoFileOfSuchRecords) {
    TempDir dir;
    std::string problem;
    EXPECT_FALSE(RecordFile::open(dir.file("a.dat"), 0, problem));
    EXPECT_EQ(problem, "record size out of range");
    EXPECT_FALSE(RecordFile::open(dir.file("a.dat"), RecordFile::max_record + 1, problem));
    dir.write("odd.dat", "0123456789");
    EXPECT_FALSE(RecordFile::open(dir.file("odd.dat"), 8, problem));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(problem, "its size, 10 bytes, is no whole number of 8-byte records");
    EXPECT_TRUE(RecordFile::open(dir.file("odd.dat"), 5, problem)) << problem;
    ASSERT_EQ(::mkfifo(dir.file("fifo.dat").c_str(), 0600), 0);
    EXPECT_FALSE(RecordFile::open(dir.file("fifo.dat"), 8, problem)); // never blocks
    EXPECT_EQ(problem, "not a regular file");
    ASSERT_EQ(::mkdir(dir.file("folder.dat").c_str(), 0700), 0);
    EXPECT_FALSE(RecordFile::open(dir.file("folder.dat"), 8, problem));
    ASSERT_EQ(::mkdir(dir.file("journal.dat-journal").c_str(), 0700), 0);
    EXPECT_FALSE(RecordFile::open(dir.file("journal.dat"), 8, problem));
    EXPECT_NE(problem.find("journal.dat-journal: "), std::string::npos) << problem;
}

// A crash after the journal was synced and mid-way through the write in
// place: the next open plays the journal back. A journal cut short or
// spoilt is no change at all.
TEST(RecordFile, ACrashMidWriteLeavesTheOldRecordOrTheNew) {
    TempDir dir;
    {
        auto file = open_file(dir);
        ASSERT_TRUE(file->write(1, "AAAAAAAA"));
        off_t second = 8;
        ASSERT_TRUE(file->journal(&second, 1, "BBBBBBBB"));
        ASSERT_TRUE(file->apply(8, "BBB", 3)); // torn: the crash comes here
    }
    EXPECT_EQ(dir.read("marks.dat").substr(8), "BBBAAAAA");
    auto file = open_file(dir);
    EXPECT_EQ(read_record(*file, 1), "BBBBBBBB");
    EXPECT_EQ(dir.read("marks.dat-journal"), "");

    std::string journal_of_c;
    off_t second = 8;
    ASSERT_TRUE(file->journal(&second, 1, "CCCCCCCC"));
    journal_of_c = dir.read("marks.dat-journal");
    ASSERT_TRUE(file->end_journal());
    for (std::string spoilt : {journal_of_c.substr(0, journal_of_c.size() - 1),
                               journal_of_c.substr(0, 20), std::string(32, '\0')}) {
        dir.write("marks.dat-journal", spoilt);
        EXPECT_EQ(read_record(*file, 1), "BBBBBBBB");
        EXPECT_EQ(dir.read("marks.dat-journal"), "");
    }
    journal_of_c.back() = 'X'; // a byte the checksum does not match
    dir.write("marks.dat-journal", journal_of_c);
    EXPECT_EQ(read_record(*file, 1), "BBBBBBBB");
    journal_of_c.back() = 'C';
    dir.write("marks.dat-journal", journal_of_c);
    EXPECT_EQ(read_record(*file, 1), "CCCCCCCC"); // a reader plays it back too
}

// Each process adds one to the same record many times, with a pause between
// reading and writing: without the lock, changes would be lost.
TEST(RecordFile, TwoProcessesNeverLoseAnUpdate) {
    TempDir dir;
    open_file(dir);
    constexpr int rounds = 40;
    pid_t children[2];
    for (pid_t& child : children) {
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::string problem;
            auto file = RecordFile::open(dir.file("marks.dat"), 8, problem);
            int done = 0;
            for (int i = 0; file && i < rounds; ++i) {
                long long count = 0;
                done += file->update(5, &count, [](void* r) {
                    ::usleep(300);
                    ++*static_cast<long long*>(r);
                    return true;
                });
            }
            _exit(done == rounds ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto file = open_file(dir);
    long long count = 0;
    ASSERT_TRUE(file->read(5, &count));
    EXPECT_EQ(count, 2 * rounds);
}

// Another process holds the lock: a read gives up after its wait with
// EAGAIN, and works once the lock is gone.
TEST(RecordFile, AHeldLockIsWaitedForOnlySoLong) {
    TempDir dir;
    auto file = open_file(dir, 8, std::chrono::milliseconds(50));
    ASSERT_TRUE(file->write(0, "AAAAAAAA"));
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        int fd = ::open(dir.file("marks.dat").c_str(), O_RDWR);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        bool held = fd >= 0 && ::fcntl(fd, F_SETLK, &lock) == 0;
        (void)!::write(ready[1], held ? "y" : "n", 1);
        ::pause();
        _exit(0);
    }
    char held = 0;
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    EXPECT_EQ(held, 'y');
    std::string record(8, '\0');
    errno = 0;
    EXPECT_FALSE(file->read(0, record.data()));
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_FALSE(file->write(0, "BBBBBBBB"));
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(read_record(*file, 0), "AAAAAAAA");
}

// Runs body in `count` child processes at once, each told its number; true
// when every one returned true.
bool in_children(int count, const std::function<bool(int)>& body) {
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        pid_t child = ::fork();
        if (child == 0) _exit(body(i) ? 0 : 1);
        if (child > 0) children.push_back(child);
    }
    bool all = static_cast<int>(children.size()) == count;
    for (pid_t child : children) {
        int status = 0;
        all = ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
              WEXITSTATUS(status) == 0 && all;
    }
    return all;
}

constexpr uid_t nobody = 65534;

// The journal group: a journal is this user's own, and a replay takes only
// whole records at record boundaries, never growing the file past them.
TEST(RecordJournal, AnotherUsersOrALinkedJournalIsRefused) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0); // a shared sticky folder
    dir.write("rec.dat-journal", "");
    ASSERT_EQ(::link(dir.file("rec.dat-journal").c_str(), dir.file("other").c_str()), 0);
    std::string problem;
    EXPECT_FALSE(RecordFile::open(dir.file("rec.dat"), 8, problem));
    EXPECT_EQ(errno, EACCES);
    ASSERT_EQ(::unlink(dir.file("other").c_str()), 0);
    ASSERT_EQ(::unlink(dir.file("rec.dat-journal").c_str()), 0);
    if (::geteuid() != 0) GTEST_SKIP() << "another user's journal needs root to plant";
    // Planted before the door user's first open, readable and writable by all.
    dir.write("rec.dat-journal", "");
    ASSERT_EQ(::chown(dir.file("rec.dat-journal").c_str(), nobody, nobody), 0);
    ASSERT_EQ(::chmod(dir.file("rec.dat-journal").c_str(), 0666), 0);
    EXPECT_FALSE(RecordFile::open(dir.file("rec.dat"), 8, problem));
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(problem, dir.file("rec.dat-journal") +
                           ": belongs to another user (uid 65534); remove it once no node is "
                           "writing");
    ASSERT_EQ(::unlink(dir.file("rec.dat-journal").c_str()), 0);
    auto file = RecordFile::open(dir.file("rec.dat"), 8, problem);
    ASSERT_TRUE(file) << problem;
    ASSERT_TRUE(file->write(0, "AAAAAAAA"));
}

TEST(RecordJournal, AReplayTakesOnlyWholeRecordsWithinTheFile) {
    TempDir dir;
    auto file = open_file(dir);
    ASSERT_TRUE(file->write(1, "AAAAAAAA"));
    // Each journal below has a checksum that holds.
    std::string problem;
    auto narrow = RecordFile::open(dir.file("narrow.dat"), 3, problem);
    ASSERT_TRUE(narrow);
    off_t five = 5;
    ASSERT_TRUE(narrow->journal(&five, 1, "XYZ"));
    std::string three_bytes = dir.read("narrow.dat-journal");
    ASSERT_TRUE(file->journal(&five, 1, "XXXXXXXX"));
    std::string off_boundary = dir.read("marks.dat-journal");
    off_t far = RecordFile::max_file - 8;
    ASSERT_TRUE(file->journal(&far, 1, "XXXXXXXX"));
    std::string far_out = dir.read("marks.dat-journal");
    off_t beyond = RecordFile::max_file;
    ASSERT_TRUE(file->journal(&beyond, 1, "XXXXXXXX"));
    std::string beyond_bound = dir.read("marks.dat-journal");
    for (const auto& forged : {three_bytes, off_boundary, far_out, beyond_bound}) {
        dir.write("marks.dat-journal", forged);
        EXPECT_EQ(read_record(*file, 1), "AAAAAAAA");
        EXPECT_EQ(dir.read("marks.dat"), std::string(8, '\0') + "AAAAAAAA");
        EXPECT_EQ(dir.read("marks.dat-journal"), "");
    }
    off_t next = 16; // one record past the end: an append's crash
    ASSERT_TRUE(file->journal(&next, 1, "BBBBBBBB"));
    EXPECT_EQ(file->count(), 3);
}

// A sysop's read-only folder, or a read-only file: reading needs no journal.
TEST(RecordJournal, AReadOnlyFolderOpensForReading) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir.file("ro").c_str(), 0755), 0);
    dir.write("ro/rec.dat", "AAAAAAAABBBBBBBB");
    ASSERT_EQ(::chmod(dir.file("ro/rec.dat").c_str(), 0644), 0);
    // The file is the door user's; the folder is not theirs to write.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(dir.file("ro/rec.dat").c_str(), nobody, nobody), 0);
    } else {
        ASSERT_EQ(::chmod(dir.file("ro").c_str(), 0555), 0);
    }
    EXPECT_TRUE(in_children(1, [&](int) {
        if (::geteuid() == 0 && (::setgid(nobody) != 0 || ::setuid(nobody) != 0)) {
            return false;
        }
        std::string problem, record(8, '\0');
        auto file = RecordFile::open(dir.file("ro/rec.dat"), 8, problem);
        if (!file || file->count() != 2 || !file->read(1, record.data())) return false;
        errno = 0;
        return record == "BBBBBBBB" && !file->write(0, "CCCCCCCC") && errno == EACCES;
    }));
    struct stat info {};
    EXPECT_NE(::lstat(dir.file("ro/rec.dat-journal").c_str(), &info), 0);
    EXPECT_EQ(dir.read("ro/rec.dat"), "AAAAAAAABBBBBBBB");
    ::chmod(dir.file("ro").c_str(), 0755);
}

// Counts through off_t: a file past the library's bound is refused in
// words, not read as a few records.
TEST(RecordJournal, AFilePastTheBoundIsRefusedWithEFBIG) {
    TempDir dir;
    for (off_t size : {(off_t{4} << 30) + 2, off_t{2} << 30, RecordFile::max_file + 1}) {
        int fd = ::open(dir.file("big.dat").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, size), 0); // sparse
        ::close(fd);
        std::string problem;
        errno = 0;
        EXPECT_FALSE(RecordFile::open(dir.file("big.dat"), 1, problem)) << size;
        EXPECT_EQ(errno, EFBIG);
        EXPECT_EQ(problem, "it is past the 1024 MiB a record file may hold");
    }
}

// The locking group. One node writes without pause, holding the lock for a
// stretch each time and taking it again the moment it lets go, so that a
// node that only polls for the lock lands inside a hold nearly every time;
// another node's calls still get it within their wait.
TEST(RecordLocks, ANodeWritingWithoutPauseStarvesNoOther) {
    TempDir dir;
    open_file(dir);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        std::string problem;
        auto file = RecordFile::open(dir.file("marks.dat"), 8, problem);
        for (long long n = 0; file; ++n) {
            (void)file->update(0, &n, [&](void* r) {
                ::usleep(20000);
                ++*static_cast<long long*>(r);
                return true;
            });
            if (n == 1) (void)!::write(ready[1], "y", 1);
        }
        _exit(1);
    }
    char go = 0;
    ASSERT_EQ(::read(ready[0], &go, 1), 1);
    // A second is many of the writer's holds: its wait is no race.
    auto file = open_file(dir, 8, std::chrono::seconds(1));
    ASSERT_TRUE(file);
    int got = 0;
    for (int i = 0; i < 10; ++i) {
        long long seen = 0;
        got += file->read(0, &seen);
        got += file->update(1, &seen, [](void* r) {
            ++*static_cast<long long*>(r);
            return true;
        });
    }
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(got, 20);
}

// fcntl locks belong to the process: a read inside change must not let go
// of the update's lock.
TEST(RecordLocks, AReadInsideAnUpdateKeepsItsLock) {
    TempDir dir;
    open_file(dir);
    EXPECT_TRUE(in_children(4, [&](int) {
        std::string problem;
        auto file = RecordFile::open(dir.file("marks.dat"), 8, problem);
        int done = 0;
        for (int i = 0; file && i < 300; ++i) {
            long long count = 0;
            done += file->update(0, &count, [&](void* r) {
                long long other = 0;
                bool read = file->read(5, &other);
                ++*static_cast<long long*>(r);
                return read;
            });
        }
        return done == 300;
    }));
    auto file = open_file(dir);
    long long count = 0;
    ASSERT_TRUE(file->read(0, &count));
    EXPECT_EQ(count, 1200);
}

// Several records changed together: a crash between their writes in place
// leaves all of them, a crash before the journal was whole none of them.
TEST(RecordCalls, SeveralRecordsChangeAllOrNone) {
    TempDir dir;
    {
        auto file = open_file(dir);
        ASSERT_TRUE(file->write(0, "voter..."));
        ASSERT_TRUE(file->write(3, "poll...."));
        off_t both[] = {0, 24};
        ASSERT_TRUE(file->journal(both, 2, "VOTED...POLL+1.."));
        ASSERT_TRUE(file->apply(0, "VOTED...", 8)); // the crash comes here
    }
    auto file = open_file(dir);
    EXPECT_EQ(read_record(*file, 0) + read_record(*file, 3), "VOTED...POLL+1..");
    off_t both[] = {0, 24};
    ASSERT_TRUE(file->journal(both, 2, "AGAIN...POLL+2.."));
    std::string whole = dir.read("marks.dat-journal");
    dir.write("marks.dat-journal", whole.substr(0, whole.size() - 4)); // torn
    EXPECT_EQ(read_record(*file, 0) + read_record(*file, 3), "VOTED...POLL+1..");

    long at[] = {3, 0};
    char records[16];
    ASSERT_TRUE(file->update_many(at, 2, records, [](void* r) {
        std::memcpy(r, "POLL+2..AGAIN...", 16);
        return true;
    }));
    EXPECT_EQ(read_record(*file, 0) + read_record(*file, 3), "AGAIN...POLL+2..");
    long twice[] = {3, 3};
    errno = 0;
    EXPECT_FALSE(file->update_many(twice, 2, records, [](void*) { return true; }));
    EXPECT_EQ(errno, EINVAL);
}

TEST(RecordCalls, TwoNodesAppendingGetDistinctIndexes) {
    TempDir dir;
    open_file(dir);
    EXPECT_TRUE(in_children(2, [&](int node) {
        std::string problem;
        auto file = RecordFile::open(dir.file("marks.dat"), 8, problem);
        bool all = file != nullptr;
        for (int i = 0; all && i < 50; ++i) {
            char record[9];
            (void)std::snprintf(record, sizeof record, "%d:%06d", node, i);
            long at = file->append(record);
            std::string back(8, '\0');
            all = at >= 0 && file->read(at, back.data()) && back == record;
        }
        return all;
    }));
    auto file = open_file(dir);
    EXPECT_EQ(file->count(), 100); // none written over another
}

// The caller's own record, keyed by record number or else by name, found
// again after a second open and claimed apart by two callers at once.
TEST(RecordCalls, EachCallerOwnsOneRecord) {
    TempDir dir;
    struct Voter {
        int votes;
        char key[36];
    };
    auto own = [&](int number, const std::string& name, Voter& voter) {
        std::string problem;
        auto file = RecordFile::open(dir.file("voters.dat"), sizeof(Voter), problem);
        auto key = RecordFile::caller_key(number, name.c_str(), name.size());
        return file ? file->own(&voter, offsetof(Voter, key), sizeof voter.key, key) : -2;
    };
    EXPECT_TRUE(in_children(2, [&](int node) {
        Voter mine{node, ""};
        return own(node == 0 ? 17 : 0, "Ann", mine) >= 0;
    }));
    const Voter fresh{7, ""};
    Voter voter = fresh;
    long ann = own(0, "Ann", voter);
    EXPECT_EQ(voter.votes, 1); // found, not claimed again
    EXPECT_EQ(std::string(voter.key), "@Ann");
    voter = fresh;
    long seventeen = own(17, "Ann", voter);
    EXPECT_EQ(voter.votes, 0);
    EXPECT_EQ(std::string(voter.key), "#17");
    EXPECT_NE(ann, seventeen);
    EXPECT_EQ(own(18, "Bo", voter = fresh), 2);
    EXPECT_EQ(voter.votes, 7); // a new caller's record is the door's fresh one
    EXPECT_EQ(own(18, "Bo", voter = fresh), 2);
    // A record whose key the door cleared is claimed again.
    std::string problem;
    auto file = RecordFile::open(dir.file("voters.dat"), sizeof(Voter), problem);
    Voter cleared{};
    ASSERT_TRUE(file->write(ann, &cleared));
    EXPECT_EQ(own(19, "Cy", voter = fresh), ann);
    errno = 0;
    EXPECT_EQ(own(0, "", voter), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(own(0, std::string(35, 'n'), voter), 3); // the longest name fits
    EXPECT_EQ(file->own(&voter, 4, 3, "#1234"), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(file->count(), 4);
}

} // namespace

// The journal's checksum is the common CRC-32, so journals left by a build
// that took it from zlib still replay; computed in pieces or whole alike.
TEST(RecordFile, JournalChecksumIsTheCommonCrc32) {
    const char digits[] = "123456789";
    EXPECT_EQ(od::crc32(0, digits, 9), 0xCBF43926u);
    EXPECT_EQ(od::crc32(od::crc32(0, digits, 4), digits + 4, 5), 0xCBF43926u);
    EXPECT_EQ(od::crc32(0, digits, 0), 0u);
}
