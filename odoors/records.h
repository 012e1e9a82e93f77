// A file of fixed-size records that every node reads and writes: fcntl
// locks with a bounded wait that a node writing without pause cannot starve,
// and a journal beside it so that a crash in the middle of a write leaves
// the old records or the new ones, never a mix.
#pragma once

#include <chrono>
#include <cstddef>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>

namespace od {

class RecordFile {
  public:
    static constexpr std::size_t max_record = 65536;
    static constexpr off_t max_file = off_t{1} << 30;
    static constexpr std::size_t max_many = 64;
    static constexpr auto lock_wait = std::chrono::seconds(5);

    // Opens or creates path as the door's data file is opened (a regular
    // file, never through a planted link) and its journal, path-journal,
    // which must belong to this user or the file's owner and have one name.
    // Where neither can be written (a read-only folder or file) it opens for
    // reading, without a journal, and writes fail with the reason. A crash's
    // journal is played back first. nullptr with errno, and `problem` in
    // words, when it cannot be used: EINVAL for a record size out of range or
    // a file that holds no whole number of records, EFBIG past max_file.
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
    // true, writes it back, all under one lock. change may call this
    // object again: the lock is already held.
    bool update(long index, void* record, const std::function<bool(void*)>& change);
    // The same for `count` distinct records, read one after another into
    // records and written back through one journal entry.
    bool update_many(const long* indexes, std::size_t count, void* records,
                     const std::function<bool(void*)>& change);
    // Writes record after the last one; its index, or -1 with errno.
    long append(const void* record);
    // The index of the record whose key_size bytes at key_offset hold key
    // (zero-padded), read into record; else record, with the key put in,
    // claims the first record whose key bytes are all zero, or is appended.
    // -1 with errno.
    long own(void* record, std::size_t key_offset, std::size_t key_size, const std::string& key);
    // A caller's key: "#" and their record number on the BBS, or, when the
    // drop file gives none (0), "@" and their name; empty with neither.
    static std::string caller_key(int number, const char* name, std::size_t name_size);

    // The steps of a write, under the write lock: the new records go to the
    // journal and are synced, then in place and synced, then the journal is
    // emptied. Public for the tests, which stop between them.
    bool journal(const off_t* offsets, std::size_t count, const void* records);
    bool apply(off_t offset, const void* data, std::size_t size);
    bool end_journal();

  private:
    RecordFile(int fd, int journal, std::size_t size, std::chrono::milliseconds wait)
        : fd_(fd), journal_(journal), size_(size), wait_(wait) {}
    bool offset_of(long index, off_t& offset) const;
    bool writable();
    bool lock(short type);
    bool acquire(short type);
    void unlock();
    bool recover();
    bool size_locked(off_t& size);
    bool read_locked(off_t offset, void* record);
    bool write_locked(const off_t* offsets, std::size_t count, const void* records);

    int fd_, journal_;
    std::size_t size_;
    std::chrono::milliseconds wait_;
    // Why nothing can be written (a read-only file or folder), or 0.
    int read_only_ = 0;
    // A descriptor opened only for reading takes the turn with a read lock.
    short turn_type_ = F_WRLCK;
    // The lock this process holds (F_UNLCK for none) and how many calls,
    // nested inside an update's change, share it.
    short held_ = F_UNLCK;
    int depth_ = 0;
};

} // namespace od
