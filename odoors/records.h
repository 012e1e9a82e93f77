// A file of fixed-size records that every node reads and writes: fcntl
// locks with a bounded wait, and a journal beside it so that a crash in the
// middle of a write leaves the old record or the new one, never a mix.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>

namespace od {

class RecordFile {
  public:
    static constexpr std::size_t max_record = 65536;
    static constexpr off_t max_file = off_t{1} << 30;
    static constexpr auto lock_wait = std::chrono::seconds(5);

    // Opens or creates path as the door's data file is opened (a regular
    // file, never through a planted link) and its journal, path-journal.
    // A crash's journal is played back first. nullptr with errno, and
    // `problem` in words, when it cannot be used; EINVAL for a record size
    // out of range or a file that holds no whole number of records.
    static std::unique_ptr<RecordFile> open(const std::string& path, std::size_t record_size,
                                            std::string& problem,
                                            std::chrono::milliseconds wait = lock_wait);
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // The records the file holds, or -1 with errno.
    long count();
    // Record `index` into record; zeros past the file's end.
    bool read(long index, void* record);
    bool write(long index, const void* record);
    // Reads record `index`, lets change alter it and, when change returns
    // true, writes it back, all under one lock.
    bool update(long index, void* record, const std::function<bool(void*)>& change);

    // The steps of a write, under the write lock: the new bytes go to the
    // journal and are synced, then in place and synced, then the journal is
    // emptied. Public for the tests, which stop between them.
    bool journal(off_t offset, const void* data, std::size_t size);
    bool apply(off_t offset, const void* data, std::size_t size);
    bool end_journal();

  private:
    RecordFile(int fd, int journal, std::size_t size, std::chrono::milliseconds wait)
        : fd_(fd), journal_(journal), size_(size), wait_(wait) {}
    bool offset_of(long index, off_t& offset) const;
    bool lock(short type);
    void unlock();
    bool recover();
    bool read_locked(off_t offset, void* record);
    bool write_locked(off_t offset, const void* record);

    int fd_, journal_;
    std::size_t size_;
    std::chrono::milliseconds wait_;
};

} // namespace od
