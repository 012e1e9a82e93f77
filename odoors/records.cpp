#include "records.h"

#include "crc32.h"
#include "file_io.h"
#include "open_checked.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace od {
namespace {

// The journal: "ODRJ", the length (4 bytes) and offset (8) of the change,
// little-endian, the CRC-32 of those twelve bytes and the new bytes, four
// zero bytes, then the new bytes. Anything else, a torn one included, is
// no change: the record in place was not touched before it was synced.
constexpr char magic[4] = {'O', 'D', 'R', 'J'};
constexpr std::size_t header_size = 24;

void put_le(unsigned char* at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t get_le(const unsigned char* at, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
    return value;
}

std::uint32_t checksum(const unsigned char* header, const void* data, std::size_t size) {
    return crc32(crc32(0, header + 4, 12), data, size);
}

// A regular file under path, opened for reading and writing, created when
// missing; -1 with errno and the problem in words.
int open_regular(const std::string& path, std::string& problem) {
    int fd = open_checked(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
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
    int fd = open_regular(path, problem);
    if (fd < 0) return nullptr;
    std::string journal_path = path + "-journal";
    int journal_fd = open_regular(journal_path, problem);
    if (journal_fd < 0) {
        int why = errno;
        ::close(fd);
        problem = journal_path + ": " + problem;
        errno = why;
        return nullptr;
    }
    std::unique_ptr<RecordFile> file(new RecordFile(fd, journal_fd, record_size, wait));
    // A file of other records, or another door's, would be read askew.
    long records = file->count();
    if (records < 0) {
        problem = errno == EAGAIN ? "another node holds its lock" : std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size % static_cast<off_t>(record_size) != 0) {
        problem = "its size, " + std::to_string(info.st_size) + " bytes, is no whole number of " +
                  std::to_string(record_size) + "-byte records";
        errno = EINVAL;
        return nullptr;
    }
    return file;
}

RecordFile::~RecordFile() {
    // Closing either descriptor drops every lock this process holds on it.
    ::close(journal_);
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

bool RecordFile::lock(short type) {
    if (!lock_file(fd_, type, wait_)) return false;
    struct stat info {};
    if (::fstat(journal_, &info) != 0) {
        unlock();
        return false;
    }
    if (info.st_size == 0) return true;
    // A crash left a change: it is played back under the write lock, then
    // a reader takes its shared lock again (a conversion that never waits).
    if (type == F_RDLCK) {
        unlock();
        if (!lock_file(fd_, F_WRLCK, wait_)) return false;
    }
    if (!recover() || (type == F_RDLCK && !lock_file(fd_, F_RDLCK, wait_))) {
        int why = errno;
        unlock();
        errno = why;
        return false;
    }
    return true;
}

void RecordFile::unlock() {
    int why = errno;
    (void)lock_file(fd_, F_UNLCK, std::chrono::milliseconds(0));
    errno = why;
}

bool RecordFile::recover() {
    std::vector<unsigned char> bytes(header_size + max_record + 1);
    ssize_t got = read_all_at(journal_, bytes.data(), bytes.size(), 0);
    if (got < 0) return false;
    auto length = static_cast<std::size_t>(get_le(&bytes[4], 4));
    auto offset = get_le(&bytes[8], 8);
    bool whole = static_cast<std::size_t>(got) >= header_size &&
                 std::memcmp(bytes.data(), magic, sizeof magic) == 0 && length > 0 &&
                 length <= max_record && static_cast<std::size_t>(got) == header_size + length &&
                 offset + length <= static_cast<std::uint64_t>(max_file) &&
                 get_le(&bytes[16], 4) == checksum(bytes.data(), &bytes[header_size], length);
    if (whole && !apply(static_cast<off_t>(offset), &bytes[header_size], length)) return false;
    return end_journal();
}

bool RecordFile::journal(off_t offset, const void* data, std::size_t size) {
    std::vector<unsigned char> bytes(header_size + size);
    std::memcpy(bytes.data(), magic, sizeof magic);
    put_le(&bytes[4], size, 4);
    put_le(&bytes[8], static_cast<std::uint64_t>(offset), 8);
    std::memcpy(&bytes[header_size], data, size);
    put_le(&bytes[16], checksum(bytes.data(), data, size), 4);
    // Shorter first: a longer journal left by a killed writer must not
    // outlive this one's end.
    return ::ftruncate(journal_, 0) == 0 && write_all_at(journal_, bytes.data(), bytes.size(), 0) &&
           sync_file(journal_);
}

bool RecordFile::apply(off_t offset, const void* data, std::size_t size) {
    return write_all_at(fd_, data, size, offset) && sync_file(fd_);
}

// Emptying needs no sync: a journal that a power cut brings back holds the
// last change, already in place, and playing it again changes nothing.
bool RecordFile::end_journal() {
    return ::ftruncate(journal_, 0) == 0;
}

bool RecordFile::read_locked(off_t offset, void* record) {
    ssize_t got = read_all_at(fd_, record, size_, offset);
    if (got < 0) return false;
    std::memset(static_cast<char*>(record) + got, 0, size_ - static_cast<std::size_t>(got));
    return true;
}

bool RecordFile::write_locked(off_t offset, const void* record) {
    return journal(offset, record, size_) && apply(offset, record, size_) && end_journal();
}

long RecordFile::count() {
    if (!lock(F_RDLCK)) return -1;
    struct stat info {};
    bool known = ::fstat(fd_, &info) == 0;
    unlock();
    return known ? static_cast<long>(info.st_size / static_cast<off_t>(size_)) : -1;
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
    if (!offset_of(index, offset) || !lock(F_WRLCK)) return false;
    bool done = write_locked(offset, record);
    unlock();
    return done;
}

bool RecordFile::update(long index, void* record, const std::function<bool(void*)>& change) {
    off_t offset;
    if (!offset_of(index, offset) || !lock(F_WRLCK)) return false;
    bool done = read_locked(offset, record) && (!change(record) || write_locked(offset, record));
    unlock();
    return done;
}

} // namespace od
