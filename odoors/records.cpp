#include "records.h"

#include "crc32.h"
#include "file_io.h"
#include "open_checked.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace od {
namespace {

// The journal: "ODR2", the number of records n (4 bytes), the record size
// (4) and four zero bytes, little-endian; the CRC-32 of those twelve bytes
// and all that follows the header, four zero bytes; then n offsets (8 bytes
// each) and the n new records. Anything else, a torn one included, is no
// change: no record in place was touched before it was synced. "ODRJ" is
// the one-change journal an earlier library left, with the length (4) and
// the offset (8) in place of n and the record size.
constexpr char magic[4] = {'O', 'D', 'R', '2'};
constexpr char magic_one[4] = {'O', 'D', 'R', 'J'};
constexpr std::size_t header_size = 24;

void put_le(unsigned char* at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t get_le(const unsigned char* at, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
    return value;
}

std::uint32_t checksum(const unsigned char* header, const unsigned char* body, std::size_t size) {
    return crc32(crc32(0, header + 4, 12), body, size);
}

bool busy(int error) {
    return error == EAGAIN || error == EACCES || error == EINTR;
}

// The lock's two ranges: the records, and beyond them the turn byte that
// the node waiting longest holds, so that others let it in.
constexpr off_t turn_byte = RecordFile::max_file;

bool set_lock(int fd, short type, off_t start, off_t length) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    return ::fcntl(fd, F_SETLK, &lock) == 0;
}

// Whether another process holds the turn.
bool turn_taken(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = turn_byte;
    lock.l_len = 1;
    return ::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// A regular file under path; -1 with errno and the problem in words.
int open_regular(const std::string& path, int flags, mode_t mode, std::string& problem) {
    int fd = open_checked(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) {
        problem = std::strerror(errno);
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        problem = "not a regular file";
        return -1;
    }
    return fd;
}

bool cannot_write(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

// The journal beside the file: another user's journal, or one with a second
// name, could be read by them or forged, so it is refused. -1 with errno
// and the problem; -2 (errno kept) when none exists and none can be made.
int open_journal(const std::string& path, const struct stat& file, bool writable,
                 std::string& problem) {
    int fd = writable ? open_regular(path, O_RDWR | O_CREAT, file.st_mode & 0666, problem) : -1;
    if (fd < 0 && (!writable || cannot_write(errno))) {
        int why = writable ? errno : EROFS;
        fd = open_regular(path, O_RDONLY, 0, problem);
        if (fd < 0 && errno == ENOENT) {
            errno = why;
            return -2;
        }
    }
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || (info.st_uid != ::geteuid() && info.st_uid != file.st_uid)) {
        problem = "belongs to another user (uid " + std::to_string(info.st_uid) +
                  "); remove it once no node is writing";
        ::close(fd);
        errno = EACCES;
        return -1;
    }
    if (info.st_nlink != 1) {
        problem = "has another name; remove it once no node is writing";
        ::close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

} // namespace

std::unique_ptr<RecordFile> RecordFile::open(const std::string& path, std::size_t record_size,
                                             std::string& problem, std::chrono::milliseconds wait) {
    if (record_size == 0 || record_size > max_record || path.empty() ||
        path.size() > PATH_MAX - 16) {
        errno = EINVAL;
        problem = path.empty() || path.size() > PATH_MAX - 16 ? "no usable path"
                                                              : "record size out of range";
        return nullptr;
    }
    int fd = open_regular(path, O_RDWR | O_CREAT, 0666, problem);
    int read_only = 0;
    if (fd < 0 && cannot_write(errno)) {
        read_only = errno;
        fd = open_regular(path, O_RDONLY, 0, problem);
    }
    bool fd_read_only = read_only != 0;
    if (fd < 0) return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        problem = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    std::string journal_path = path + "-journal";
    int journal_fd = open_journal(journal_path, info, read_only == 0, problem);
    if (journal_fd == -2) {
        if (read_only == 0) read_only = errno; // reads need no journal
    } else if (journal_fd < 0) {
        int why = errno;
        ::close(fd);
        problem = journal_path + ": " + problem;
        errno = why;
        return nullptr;
    }
    std::unique_ptr<RecordFile> file(new RecordFile(fd, journal_fd, record_size, wait));
    file->read_only_ = read_only;
    if (fd_read_only) file->turn_type_ = F_RDLCK;
    if (file->count() < 0) {
        if (errno == EFBIG) {
            problem =
                "it is past the " + std::to_string(max_file >> 20) + " MiB a record file may hold";
        } else {
            problem = errno == EAGAIN ? "another node holds its lock" : std::strerror(errno);
        }
        return nullptr;
    }
    // A file of other records, or another door's, would be read askew.
    if (::fstat(fd, &info) == 0 && info.st_size % static_cast<off_t>(record_size) != 0) {
        problem = "its size, " + std::to_string(info.st_size) + " bytes, is no whole number of " +
                  std::to_string(record_size) + "-byte records";
        errno = EINVAL;
        return nullptr;
    }
    return file;
}

RecordFile::~RecordFile() {
    // Closing the file's descriptor drops every lock this process holds on it.
    if (journal_ >= 0) ::close(journal_);
    ::close(fd_);
}

bool RecordFile::offset_of(long index, off_t& offset) const {
    auto size = static_cast<off_t>(size_);
    if (index < 0 || index >= max_file / size) {
        errno = EINVAL;
        return false;
    }
    offset = static_cast<off_t>(index) * size;
    return true;
}

bool RecordFile::writable() {
    if (read_only_ == 0) return true;
    errno = read_only_;
    return false;
}

// Inside an update's change the lock is held already (a write lock, which
// covers everything): the nested call shares it and leaves it in place.
bool RecordFile::lock(short type) {
    if (held_ != F_UNLCK) {
        ++depth_;
        return true;
    }
    if (!acquire(type)) return false;
    held_ = type;
    depth_ = 1;
    struct stat info {};
    if (journal_ < 0 || (::fstat(journal_, &info) == 0 && info.st_size == 0)) return true;
    // A crash left a change: it is played back under the write lock, then
    // a reader takes its shared lock again (a conversion that never waits).
    bool done = writable();
    if (done && type == F_RDLCK) {
        (void)set_lock(fd_, F_UNLCK, 0, max_file);
        done = acquire(F_WRLCK);
    }
    done = done && recover() && (type == F_WRLCK || set_lock(fd_, F_RDLCK, 0, max_file));
    if (!done) {
        int why = errno;
        unlock();
        errno = why;
    }
    return done;
}

// fcntl has no bounded blocking wait without alarm(), which the library
// leaves to the door, and a node that only polls never catches the moment
// between another node's unlock and its next lock. So the first node that
// finds the records busy takes the turn byte, and every other node leaves
// the records to it while it holds the turn: it gets them when the current
// holder lets go. Among the nodes then waiting for the turn, each has the
// same chance at each release.
bool RecordFile::acquire(short type) {
    auto end = std::chrono::steady_clock::now() + wait_;
    bool turn = false;
    for (;;) {
        if (turn || !turn_taken(fd_)) {
            if (set_lock(fd_, type, 0, max_file)) break;
            if (!busy(errno)) return false;
        }
        if (!turn) {
            turn = set_lock(fd_, turn_type_, turn_byte, 1);
            if (!turn && !busy(errno)) return false;
        }
        if (std::chrono::steady_clock::now() >= end) {
            if (turn) (void)set_lock(fd_, F_UNLCK, turn_byte, 1);
            errno = EAGAIN;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (turn) (void)set_lock(fd_, F_UNLCK, turn_byte, 1);
    return true;
}

void RecordFile::unlock() {
    if (held_ == F_UNLCK || --depth_ > 0) return;
    int why = errno;
    (void)set_lock(fd_, F_UNLCK, 0, max_file);
    held_ = F_UNLCK;
    errno = why;
}

// Only whole records of this file's size, at record boundaries, growing the
// file by no more than the records the journal holds, and only a journal
// whose checksum holds: anything else is dropped.
bool RecordFile::recover() {
    std::vector<unsigned char> bytes(header_size + max_many * (8 + size_) + 1);
    ssize_t got = read_all_at(journal_, bytes.data(), bytes.size(), 0);
    if (got < 0) return false;
    auto have = static_cast<std::size_t>(got);
    std::vector<off_t> offsets;
    const unsigned char* records = nullptr;
    bool whole = false;
    if (have >= header_size && std::memcmp(bytes.data(), magic, 4) == 0) {
        auto entries = static_cast<std::size_t>(get_le(&bytes[4], 4));
        whole = entries > 0 && entries <= max_many && get_le(&bytes[8], 4) == size_ &&
                have == header_size + entries * (8 + size_) &&
                get_le(&bytes[16], 4) ==
                    checksum(bytes.data(), &bytes[header_size], have - header_size);
        for (std::size_t i = 0; whole && i < entries; ++i) {
            std::uint64_t offset = get_le(&bytes[header_size + 8 * i], 8);
            whole = offset <= static_cast<std::uint64_t>(max_file);
            offsets.push_back(static_cast<off_t>(offset));
        }
        records = &bytes[header_size + 8 * entries];
    } else if (have >= header_size && std::memcmp(bytes.data(), magic_one, 4) == 0) {
        std::uint64_t offset = get_le(&bytes[8], 8);
        whole = get_le(&bytes[4], 4) == size_ && have == header_size + size_ &&
                offset <= static_cast<std::uint64_t>(max_file) &&
                get_le(&bytes[16], 4) ==
                    checksum(bytes.data(), &bytes[header_size], have - header_size);
        offsets.push_back(static_cast<off_t>(offset));
        records = &bytes[header_size];
    }
    off_t size = 0;
    if (whole && !size_locked(size)) return false;
    auto record = static_cast<off_t>(size_);
    for (off_t offset : offsets) {
        whole = whole && offset % record == 0 && offset + record <= max_file &&
                offset + record <= size + record * static_cast<off_t>(offsets.size());
    }
    if (whole) {
        for (std::size_t i = 0; i < offsets.size(); ++i)
            if (!apply(offsets[i], records + i * size_, size_)) return false;
        if (!sync_file(fd_)) return false;
    }
    return end_journal();
}

bool RecordFile::journal(const off_t* offsets, std::size_t count, const void* records) {
    std::vector<unsigned char> bytes(header_size + count * (8 + size_));
    std::memcpy(bytes.data(), magic, sizeof magic);
    put_le(&bytes[4], count, 4);
    put_le(&bytes[8], size_, 4);
    for (std::size_t i = 0; i < count; ++i)
        put_le(&bytes[header_size + 8 * i], static_cast<std::uint64_t>(offsets[i]), 8);
    std::memcpy(&bytes[header_size + 8 * count], records, count * size_);
    put_le(&bytes[16], checksum(bytes.data(), &bytes[header_size], bytes.size() - header_size), 4);
    // Shorter first: a longer journal left by a killed writer must not
    // outlive this one's end.
    return ::ftruncate(journal_, 0) == 0 && write_all_at(journal_, bytes.data(), bytes.size(), 0) &&
           sync_file(journal_);
}

bool RecordFile::apply(off_t offset, const void* data, std::size_t size) {
    return write_all_at(fd_, data, size, offset);
}

// Emptying needs no sync: a journal that a power cut brings back holds the
// last change, already in place, and playing it again changes nothing.
bool RecordFile::end_journal() {
    return ::ftruncate(journal_, 0) == 0;
}

bool RecordFile::size_locked(off_t& size) {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return false;
    if (info.st_size > max_file) {
        errno = EFBIG;
        return false;
    }
    size = info.st_size;
    return true;
}

bool RecordFile::read_locked(off_t offset, void* record) {
    ssize_t got = read_all_at(fd_, record, size_, offset);
    if (got < 0) return false;
    std::memset(static_cast<char*>(record) + got, 0, size_ - static_cast<std::size_t>(got));
    return true;
}

bool RecordFile::write_locked(const off_t* offsets, std::size_t count, const void* records) {
    if (!writable() || !journal(offsets, count, records)) return false;
    for (std::size_t i = 0; i < count; ++i)
        if (!apply(offsets[i], static_cast<const char*>(records) + i * size_, size_)) return false;
    return sync_file(fd_) && end_journal();
}

long RecordFile::count() {
    if (!lock(F_RDLCK)) return -1;
    off_t size = 0;
    bool known = size_locked(size);
    unlock();
    return known ? static_cast<long>(size / static_cast<off_t>(size_)) : -1;
}

bool RecordFile::read(long index, void* record) {
    off_t offset;
    if (!offset_of(index, offset) || !lock(F_RDLCK)) return false;
    bool done = read_locked(offset, record);
    unlock();
    return done;
}

bool RecordFile::write(long index, const void* record) {
    off_t offset;
    if (!offset_of(index, offset) || !writable() || !lock(F_WRLCK)) return false;
    bool done = write_locked(&offset, 1, record);
    unlock();
    return done;
}

bool RecordFile::update(long index, void* record, const std::function<bool(void*)>& change) {
    return update_many(&index, 1, record, change);
}

bool RecordFile::update_many(const long* indexes, std::size_t count, void* records,
                             const std::function<bool(void*)>& change) {
    off_t offsets[max_many];
    if (count == 0 || count > max_many) {
        errno = EINVAL;
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!offset_of(indexes[i], offsets[i])) return false;
        if (std::find(offsets, offsets + i, offsets[i]) != offsets + i) {
            errno = EINVAL; // which of the two would be kept?
            return false;
        }
    }
    if (!writable() || !lock(F_WRLCK)) return false;
    auto* bytes = static_cast<char*>(records);
    bool done = true;
    for (std::size_t i = 0; done && i < count; ++i)
        done = read_locked(offsets[i], bytes + i * size_);
    done = done && (!change(records) || write_locked(offsets, count, records));
    unlock();
    return done;
}

long RecordFile::append(const void* record) {
    if (!writable() || !lock(F_WRLCK)) return -1;
    off_t size = 0;
    long index = -1;
    if (size_locked(size)) {
        // A file cut mid-record by something else still gets whole ones.
        auto record_size = static_cast<off_t>(size_);
        off_t offset = (size + record_size - 1) / record_size * record_size;
        if (offset + record_size > max_file)
            errno = EFBIG;
        else if (write_locked(&offset, 1, record))
            index = static_cast<long>(offset / record_size);
    }
    unlock();
    return index;
}

std::string RecordFile::caller_key(int number, const char* name, std::size_t name_size) {
    if (number > 0) return "#" + std::to_string(number);
    std::size_t length = strnlen(name, name_size);
    return length > 0 ? "@" + std::string(name, length) : std::string();
}

long RecordFile::own(void* record, std::size_t key_offset, std::size_t key_size,
                     const std::string& key) {
    if (key_size == 0 || key_offset > size_ || key_size > size_ - key_offset || key.empty()) {
        errno = EINVAL;
        return -1;
    }
    if (key.size() > key_size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::string wanted = key + std::string(key_size - key.size(), '\0');
    const std::string none(key_size, '\0');
    if (!writable() || !lock(F_WRLCK)) return -1;
    off_t size = 0;
    long index = -1, free = -1;
    bool done = size_locked(size);
    auto record_size = static_cast<off_t>(size_);
    long records = static_cast<long>(size / record_size);
    // Many records a read, whatever their size.
    long batch = std::max<long>(1, static_cast<long>(65536 / size_));
    std::vector<char> bytes(static_cast<std::size_t>(batch) * size_);
    for (long first = 0; done && index < 0 && first < records; first += batch) {
        long n = std::min(batch, records - first);
        ssize_t got = read_all_at(fd_, bytes.data(), static_cast<std::size_t>(n) * size_,
                                  static_cast<off_t>(first) * record_size);
        done = got == static_cast<ssize_t>(static_cast<std::size_t>(n) * size_);
        for (long i = 0; done && i < n; ++i) {
            const char* at = &bytes[static_cast<std::size_t>(i) * size_ + key_offset];
            if (std::memcmp(at, wanted.data(), key_size) == 0) {
                index = first + i;
                std::memcpy(record, at - key_offset, size_);
                break;
            }
            if (free < 0 && std::memcmp(at, none.data(), key_size) == 0) free = first + i;
        }
    }
    if (done && index < 0) {
        index = free >= 0 ? free : records;
        off_t offset = static_cast<off_t>(index) * record_size;
        std::memcpy(static_cast<char*>(record) + key_offset, wanted.data(), key_size);
        if (offset + record_size > max_file) {
            errno = EFBIG;
            index = -1;
        } else if (!write_locked(&offset, 1, record)) {
            index = -1;
        }
    }
    unlock();
    return done ? index : -1;
}

} // namespace od
