// The shared record file: records in place, the journal that a crash leaves,
// refusals, and locks that keep two processes from losing each other's
// changes.
#include "crc32.h"
#include "door_harness.h"
#include "records.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
        ASSERT_TRUE(file->journal(8, "BBBBBBBB", 8));
        ASSERT_TRUE(file->apply(8, "BBB", 3)); // torn: the crash comes here
    }
    EXPECT_EQ(dir.read("marks.dat").substr(8), "BBBAAAAA");
    auto file = open_file(dir);
    EXPECT_EQ(read_record(*file, 1), "BBBBBBBB");
    EXPECT_EQ(dir.read("marks.dat-journal"), "");

    std::string journal_of_c;
    ASSERT_TRUE(file->journal(8, "CCCCCCCC", 8));
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

} // namespace

// The journal's checksum is the common CRC-32, so journals left by a build
// that took it from zlib still replay; computed in pieces or whole alike.
TEST(RecordFile, JournalChecksumIsTheCommonCrc32) {
    const char digits[] = "123456789";
    EXPECT_EQ(od::crc32(0, digits, 9), 0xCBF43926u);
    EXPECT_EQ(od::crc32(od::crc32(0, digits, 4), digits + 4, 5), 0xCBF43926u);
    EXPECT_EQ(od::crc32(0, digits, 0), 0u);
}
