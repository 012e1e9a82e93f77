// The public call for art and text files.
#include "art.h"
#include "records.h"
#include "session.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <string_view>

using od::flush;
using od::next_key;
using od::session;

namespace {

// The More prompt between screenfuls; false when the caller stops.
bool more(tODSession& s) {
    // One row, never its last column: a wrapped prompt would scroll the page.
    std::string_view prompt = "-- More: Enter or Space goes on, Q stops --";
    prompt = prompt.substr(0, static_cast<std::size_t>(std::max(od_control.od_cols - 1, 1)));
    s.output.text(prompt);
    bool go_on = true;
    for (;;) {
        auto key = next_key(s);
        int code = key ? key->code : 'q'; // none once input is closed in the end callback
        if (code == '\r' || code == ' ') break;
        if (code == 'q' || code == 'Q' || code == 'n' || code == 'N' || code == 27) {
            go_on = false;
            break;
        }
    }
    if (s.output.ansi()) {
        s.output.text("\r");
        s.output.sequence(od::clear_eol_sequence);
    } else {
        s.output.text("\r" + std::string(prompt.size(), ' ') + "\r");
    }
    return go_on;
}

} // namespace

struct tODRecords {
    std::unique_ptr<od::RecordFile> file;
};

extern "C" {

int od_show_file(const char* name, bool paged) {
    auto& s = session();
    auto path = od::pick_file(name ? name : "", s.output.ansi());
    if (!path) return -1;
    auto content = od::read_file(*path);
    if (!content) return -1;
    od::TextRenderer text(od::without_sauce(*content));
    // A long line wraps: the page counts screen rows, the prompt taking the last.
    int used = 0;
    // The rows above a status line scroll; the line stays.
    int status_row = od::status_shown(s) ? 1 : 0;
    int page_rows = std::max(od_control.od_rows - 1 - status_row, 1);
    while (!text.at_end()) {
        int rows = paged ? od::screen_rows(text.next_line_columns(), od_control.od_cols) : 0;
        if (paged && used > 0 && used + rows > page_rows) {
            if (!more(s)) return 1;
            used = 0;
        }
        text.line(s.output);
        used += rows;
        if (s.output.pending().size() >= 65536) flush(s); // a big file goes out as it is made
    }
    return 0;
}

tODRecords* od_records_open(const char* path, int record_size) {
    std::string name = path ? path : "", problem;
    auto file = od::RecordFile::open(
        name, record_size > 0 ? static_cast<std::size_t>(record_size) : 0, problem);
    if (!file) {
        int why = errno;
        std::string line = std::string(od::program_name()) + ": " + name + ": " + problem;
        (void)std::fprintf(stderr, "%s\n", od::harmless(line).c_str());
        if (od_control.od_session) od_control.od_session->log.write(line);
        errno = why;
        return nullptr;
    }
    auto* records = new (std::nothrow) tODRecords;
    if (!records) {
        errno = ENOMEM;
        return nullptr;
    }
    records->file = std::move(file);
    return records;
}

long od_records_count(tODRecords* file) {
    if (!file) return errno = EINVAL, -1;
    return file->file->count();
}

int od_records_read(tODRecords* file, long index, void* record) {
    if (!file || !record) return errno = EINVAL, -1;
    return file->file->read(index, record) ? 0 : -1;
}

int od_records_write(tODRecords* file, long index, const void* record) {
    if (!file || !record) return errno = EINVAL, -1;
    return file->file->write(index, record) ? 0 : -1;
}

int od_records_update(tODRecords* file, long index, void* record,
                      bool (*change)(void* record, void* context), void* context) {
    if (!file || !record || !change) return errno = EINVAL, -1;
    return file->file->update(index, record, [&](void* r) { return change(r, context); }) ? 0 : -1;
}

long od_records_append(tODRecords* file, const void* record) {
    if (!file || !record) return errno = EINVAL, -1;
    return file->file->append(record);
}

long od_records_own(tODRecords* file, void* record, int key_offset, int key_size) {
    if (!file || !record || key_offset < 0 || key_size <= 0) return errno = EINVAL, -1;
    auto key = od::RecordFile::caller_key(od_control.user_number, od_control.user_name,
                                          sizeof od_control.user_name);
    return file->file->own(record, static_cast<std::size_t>(key_offset),
                           static_cast<std::size_t>(key_size), key);
}

int od_records_update_many(tODRecords* file, const long* indexes, int count, void* records,
                           bool (*change)(void* records, void* context), void* context) {
    if (!file || !indexes || !records || !change || count <= 0) return errno = EINVAL, -1;
    return file->file->update_many(indexes, static_cast<std::size_t>(count), records,
                                   [&](void* r) { return change(r, context); })
               ? 0
               : -1;
}

void od_records_close(tODRecords* file) {
    delete file;
}

} // extern "C"
