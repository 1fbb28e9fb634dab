/*
 * worm_store.cpp - the stand-in WormAPI library: a simulated WORM store over a
 * directory, exported as POSIX ustar (pax where ustar falls short) streams.
 *
 * The drive is the directory.  Every regular file below it is one record and
 * becomes one member, named by its path relative to the drive with '/' between
 * folders; members come in byte order of their names.  A record belongs to
 * transaction N when its file name starts with N in decimal digits.  Links
 * (symbolic links, and on Windows junctions and mount points), FIFOs and other
 * special files are not records, and no link is followed.
 *
 * This file walks the store and picks the records; store_folder.cpp reaches
 * them on each platform; tar_writer.cpp writes them as the stream, which goes
 * to the callback through one fixed buffer, chunk by chunk, on the caller's
 * thread: memory does not grow with the records' size.
 */
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "store_folder.h"
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

/* Emits one listed record as a member, its size, time and mode taken from the
 * open file: anything but the record listed under that name stops the export. */
int32_t export_record(chunk_output &out, const store_folder &folder, const folder_entry &entry,
                      const std::string &name)
{
    member_info info;
    std::FILE *f = open_record(folder, entry, info);
    if (!f)
        return WORM_ERR_RECORD_UNREADABLE;
    std::setvbuf(f, nullptr, _IONBF, 0); /* read straight into the chunk buffer */
    int32_t r = put_member(out, name, info, f);
    std::fclose(f);
    return r;
}

/* The records and sub-folders of folder, in byte order of their member names:
 * with '/' after a sub-folder's name, sorting each folder's entries gives the
 * whole store's order without holding its listing at once. */
bool sorted_entries(const store_folder &folder, std::vector<folder_entry> &entries)
{
    if (!list_folder(folder, entries))
        return false;
    std::sort(entries.begin(), entries.end(),
              [](const folder_entry &a, const folder_entry &b) { return a.key < b.key; });
    return true;
}

/* Emits every record below folder that the filter takes, in order. */
int32_t export_folder(chunk_output &out, const record_filter &filter, const store_folder &folder,
                      const std::string &prefix)
{
    std::vector<folder_entry> entries;
    if (!sorted_entries(folder, entries))
        return WORM_ERR_STORE_UNREADABLE;
    for (const folder_entry &e : entries) {
        int32_t r = WORM_OK;
        if (e.is_folder) {
            store_folder sub;
            r = open_subfolder(folder, e, sub) ? export_folder(out, filter, sub, prefix + e.key)
                                               : WORM_ERR_STORE_UNREADABLE;
        } else if (takes(filter, e.key)) {
            r = export_record(out, folder, e, prefix + e.key);
        }
        if (r != WORM_OK)
            return r;
    }
    return WORM_OK;
}

/* The whole stream of the records the filter takes. */
int32_t export_store(worm_context *ctx, const record_filter &filter,
                     worm_chunk_callback *callback, void *data)
{
    store_folder root;
    if (!open_store_root(ctx->root, root))
        return WORM_ERR_STORE_UNREADABLE;
    chunk_output out{callback, data, ctx->buffer.data(), 0};
    int32_t r = export_folder(out, filter, root, "");
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
