/*
 * worm_store.cpp - the stand-in WormAPI library: a simulated WORM store over a
 * directory, exported as POSIX ustar (pax where ustar falls short) streams.
 *
 * The drive is the directory.  Every regular file below it is one record and
 * becomes one member, named by its path relative to the drive with '/' between
 * folders; members come in byte order of their names.  A record belongs to
 * transaction N when its file name starts with N in decimal digits.  Symbolic
 * links, FIFOs and other special files are not records and are skipped.
 *
 * This file walks the store and picks the records; tar_writer.cpp writes them
 * as the stream, which goes to the callback through one fixed buffer, chunk by
 * chunk, on the caller's thread: memory does not grow with the records' size.
 */
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "tar_writer.h"
#include "worm_api.h"
#include "worm_store.h"

namespace fs = std::filesystem;

struct worm_context {
    fs::path root;
    std::vector<unsigned char> buffer; /* the one chunk buffer of every export */
};

namespace {

/* Which records an export takes: every one, or those of transactions first..last. */
struct record_filter {
    bool by_transaction;
    int64_t first, last;
};
constexpr record_filter every_record{false, 0, 0};

/*
 * Per platform: how a member's name is spelled, what the drive names, and how a
 * record is opened.  stat_open takes size, time and mode from the open file,
 * which must still be a regular file: the listing said so, but the name may
 * have been given to something else since.
 */
#ifdef _WIN32
/* Windows file names are UTF-16: members carry them as UTF-8. */
std::string name_bytes(const fs::path &p) { return p.u8string(); }

/* "E:" alone means the current folder of drive E; a drive means its root. */
fs::path store_root(const char *drive)
{
    fs::path root(drive);
    if (std::strlen(drive) == 2 && drive[1] == ':')
        root += "\\";
    return root;
}

std::FILE *open_record(const fs::path &p) { return _wfopen(p.c_str(), L"rb"); }

bool stat_open(std::FILE *f, member_info &info)
{
    struct _stat64 st;
    if (_fstat64(_fileno(f), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG)
        return false;
    info = {static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtime),
            static_cast<unsigned>(st.st_mode) & 0777u};
    return true;
}
#else
/* POSIX file names are bytes: members carry them unchanged. */
std::string name_bytes(const fs::path &p) { return p.string(); }

fs::path store_root(const char *drive) { return fs::path(drive); }

std::FILE *open_record(const fs::path &p) { return std::fopen(p.c_str(), "rb"); }

bool stat_open(std::FILE *f, member_info &info)
{
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    info = {static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtime),
            static_cast<unsigned>(st.st_mode) & 0777u};
    return true;
}
#endif

/* The transaction a record's file name starts with, or -1 for none. */
int64_t transaction_of(const std::string &file_name)
{
    int64_t n = -1;
    for (char c : file_name) {
        if (c < '0' || c > '9')
            break;
        /* Saturate: a number past every int32 range is simply out of range. */
        n = std::min<int64_t>((n < 0 ? 0 : n) * 10 + (c - '0'), int64_t{1} << 40);
    }
    return n;
}

/* Whether the filter takes the record of that file name. */
bool takes(const record_filter &filter, const std::string &file_name)
{
    if (!filter.by_transaction)
        return true;
    int64_t n = transaction_of(file_name);
    return n >= 0 && filter.first <= n && n <= filter.last;
}

/* Emits one record as a member, its size, time and mode taken from the open file. */
int32_t export_record(chunk_output &out, const fs::path &path, const std::string &name)
{
    std::FILE *f = open_record(path);
    if (!f)
        return WORM_ERR_RECORD_UNREADABLE;
    std::setvbuf(f, nullptr, _IONBF, 0); /* read straight into the chunk buffer */
    member_info info;
    int32_t r = stat_open(f, info) ? put_member(out, name, info, f) : WORM_ERR_RECORD_UNREADABLE;
    std::fclose(f);
    return r;
}

/*
 * Emits every record below folder, in byte order of the member names.  Sorting
 * each folder's entries with '/' after the names of sub-folders gives that order
 * without holding the whole store's listing at once.
 */
int32_t export_folder(chunk_output &out, const record_filter &filter, const fs::path &folder,
                      const std::string &prefix)
{
    struct entry {
        std::string key; /* name, with '/' after a folder's */
        fs::path path;
        bool is_folder;
    };
    std::vector<entry> entries;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        fs::file_status st = it->symlink_status(ec);
        if (ec)
            break;
        bool is_folder = fs::is_directory(st);
        if (!is_folder && !fs::is_regular_file(st))
            continue; /* links, FIFOs, devices: not records */
        std::string key = name_bytes(it->path().filename());
        if (is_folder)
            key += '/';
        entries.push_back({std::move(key), it->path(), is_folder});
    }
    if (ec)
        return WORM_ERR_STORE_UNREADABLE;
    std::sort(entries.begin(), entries.end(),
              [](const entry &a, const entry &b) { return a.key < b.key; });

    for (const entry &e : entries) {
        int32_t r = WORM_OK;
        if (e.is_folder)
            r = export_folder(out, filter, e.path, prefix + e.key);
        else if (takes(filter, e.key))
            r = export_record(out, e.path, prefix + e.key);
        if (r != WORM_OK)
            return r;
    }
    return WORM_OK;
}

/* The whole stream of the records the filter takes. */
int32_t export_store(worm_context *ctx, const record_filter &filter,
                     worm_chunk_callback *callback, void *data)
{
    chunk_output out{callback, data, ctx->buffer.data(), 0};
    int32_t r = export_folder(out, filter, ctx->root, "");
    return r == WORM_OK ? finish_archive(out) : r;
}

/* No C++ exception may cross into the caller: each becomes a result code. */
template <typename F> int32_t guarded(F body)
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return WORM_ERR_OUT_OF_MEMORY;
    } catch (...) {
        return WORM_ERR_INTERNAL;
    }
}

} // namespace

extern "C" {

WORM_API int32_t WORM_CALL worm_init(worm_context **ctx, const char *drive)
{
    return guarded([&]() -> int32_t {
        if (!ctx || !drive)
            return WORM_ERR_NULL_ARGUMENT;
        fs::path root = store_root(drive);
        std::error_code ec;
        if (!fs::is_directory(root, ec))
            return WORM_ERR_NO_STORE;
        *ctx = new worm_context{root, std::vector<unsigned char>(WORM_STORE_CHUNK_SIZE)};
        return WORM_OK;
    });
}

WORM_API int32_t WORM_CALL worm_export_tar(worm_context *ctx, worm_chunk_callback *callback,
                                           void *data)
{
    return guarded([&]() -> int32_t {
        if (!ctx || !callback)
            return WORM_ERR_NULL_ARGUMENT;
        return export_store(ctx, every_record, callback, data);
    });
}

WORM_API int32_t WORM_CALL worm_export_tar_filtered_transaction(
    worm_context *ctx, int32_t first, int32_t last, const char *client,
    worm_chunk_callback *callback, void *data)
{
    return guarded([&]() -> int32_t {
        if (!ctx || !callback)
            return WORM_ERR_NULL_ARGUMENT;
        if (first > last)
            return WORM_ERR_BAD_RANGE;
        if (client)
            return WORM_ERR_NOT_SUPPORTED;
        return export_store(ctx, record_filter{true, first, last}, callback, data);
    });
}

WORM_API int32_t WORM_CALL worm_cleanup(worm_context *ctx)
{
    if (!ctx)
        return WORM_ERR_NULL_ARGUMENT;
    delete ctx;
    return WORM_OK;
}

} // extern "C"
