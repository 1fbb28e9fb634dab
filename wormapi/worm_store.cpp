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
 * The stream goes to the callback through one fixed buffer, chunk by chunk,
 * on the caller's thread; memory does not grow with the size of the records.
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

#include "worm_api.h"
#include "worm_store.h"

namespace fs = std::filesystem;

struct worm_context {
    fs::path root;
    std::vector<unsigned char> buffer; /* the one chunk buffer of every export */
};

namespace {

constexpr size_t block_size = 512;
constexpr size_t chunk_size = WORM_STORE_CHUNK_SIZE;
static_assert(chunk_size % block_size == 0, "chunks hold whole TAR blocks");

/* What one export needs while it walks the store. */
struct export_job {
    worm_chunk_callback *callback;
    void *data;
    unsigned char *buffer;
    size_t fill;
    bool filtered;
    int64_t first, last;
};

/* A record as it is opened: size, time and mode taken from the open file. */
struct record_info {
    uint64_t size;
    int64_t mtime;
    unsigned mode;
};

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

bool stat_open(std::FILE *f, record_info &info)
{
    struct _stat64 st;
    if (_fstat64(_fileno(f), &st) != 0)
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

bool stat_open(std::FILE *f, record_info &info)
{
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    info = {static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtime),
            static_cast<unsigned>(st.st_mode) & 0777u};
    return true;
}
#endif

/* Hands the filled part of the buffer to the callback and starts it afresh. */
int32_t deliver(export_job &job)
{
    int32_t stop = job.callback(job.buffer, static_cast<int32_t>(job.fill), job.data);
    job.fill = 0;
    return stop == 0 ? WORM_OK : WORM_ERR_CALLBACK_STOPPED;
}

/* Counts n more bytes of the buffer as filled; a full buffer goes out as a chunk. */
int32_t filled(export_job &job, size_t n)
{
    job.fill += n;
    return job.fill == chunk_size ? deliver(job) : WORM_OK;
}

/* Appends bytes (zeros when from is null) to the stream, delivering full chunks. */
int32_t put(export_job &job, const unsigned char *from, size_t count)
{
    while (count > 0) {
        size_t n = std::min(count, chunk_size - job.fill);
        if (from) {
            std::memcpy(job.buffer + job.fill, from, n);
            from += n;
        } else {
            std::memset(job.buffer + job.fill, 0, n);
        }
        count -= n;
        int32_t r = filled(job, n);
        if (r != WORM_OK)
            return r;
    }
    return WORM_OK;
}

/* Zero bytes that pad count bytes of data up to a whole block. */
size_t padding(uint64_t count) { return (block_size - count % block_size) % block_size; }

/* Whether value fits an octal field of width bytes: its digits and a NUL. */
bool fits(size_t width, uint64_t value) { return value >> (3 * (width - 1)) == 0; }

/* Writes value, which fits, as a zero-padded NUL-terminated octal field. */
void put_octal(unsigned char *field, size_t width, uint64_t value)
{
    field[width - 1] = '\0';
    for (size_t i = width - 1; i-- > 0; value >>= 3)
        field[i] = static_cast<unsigned char>('0' + (value & 7));
}

/* One "LEN key=value\n" record of a pax header; LEN counts the whole record. */
std::string pax_record(const std::string &key, const std::string &value)
{
    size_t rest = key.size() + value.size() + 3; /* space, '=', newline */
    size_t len = rest + 1;
    while (std::to_string(len).size() + rest != len)
        len = std::to_string(len).size() + rest;
    return std::to_string(len) + " " + key + "=" + value + "\n";
}

/* Fills a ustar header block; the checksum is set last, over the whole block. */
void fill_header(unsigned char *h, const std::string &name, uint64_t size, int64_t mtime,
                 unsigned mode, char type)
{
    std::memset(h, 0, block_size);
    std::memcpy(h, name.data(), std::min(name.size(), size_t{100}));
    put_octal(h + 100, 8, mode);
    put_octal(h + 108, 8, 0);
    put_octal(h + 116, 8, 0);
    put_octal(h + 124, 12, size);
    put_octal(h + 136, 12, static_cast<uint64_t>(mtime));
    h[156] = static_cast<unsigned char>(type);
    std::memcpy(h + 257, "ustar", 6);
    std::memcpy(h + 263, "00", 2);
    unsigned sum = 8 * ' '; /* the checksum field counts as spaces */
    for (size_t i = 0; i < block_size; i++)
        sum += (i >= 148 && i < 156) ? 0 : h[i];
    put_octal(h + 148, 7, sum);
    h[155] = ' ';
}

/* Emits the member header, preceded by a pax header for what ustar cannot hold. */
int32_t put_header(export_job &job, const std::string &name, const record_info &info)
{
    unsigned char h[block_size];
    std::string pax;
    if (name.size() > 100)
        pax += pax_record("path", name);
    bool size_fits = fits(12, info.size);
    bool mtime_fits = info.mtime >= 0 && fits(12, static_cast<uint64_t>(info.mtime));
    if (!size_fits)
        pax += pax_record("size", std::to_string(info.size));
    if (!mtime_fits)
        pax += pax_record("mtime", std::to_string(info.mtime));
    if (!pax.empty()) {
        fill_header(h, "PaxHeader", pax.size(), 0, 0644, 'x');
        int32_t r = put(job, h, block_size);
        if (r == WORM_OK)
            r = put(job, reinterpret_cast<const unsigned char *>(pax.data()), pax.size());
        if (r == WORM_OK)
            r = put(job, nullptr, padding(pax.size()));
        if (r != WORM_OK)
            return r;
    }
    /* Fields that do not fit are carried by the pax header; readers ignore them. */
    fill_header(h, name, size_fits ? info.size : 0, mtime_fits ? info.mtime : 0, info.mode, '0');
    return put(job, h, block_size);
}

/* Streams one record's bytes straight into the chunk buffer; short means failure. */
int32_t put_contents(export_job &job, std::FILE *f, uint64_t size)
{
    while (size > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(size, chunk_size - job.fill));
        if (std::fread(job.buffer + job.fill, 1, want, f) != want)
            return WORM_ERR_RECORD_UNREADABLE;
        size -= want;
        int32_t r = filled(job, want);
        if (r != WORM_OK)
            return r;
    }
    return WORM_OK;
}

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

/* Whether a record of transaction n (-1 for none) is in the filter's range. */
bool in_range(const export_job &job, int64_t n) { return n >= 0 && job.first <= n && n <= job.last; }

/* Emits one record as a member: header, contents, padding. */
int32_t export_record(export_job &job, const fs::path &path, const std::string &name)
{
    std::FILE *f = open_record(path);
    if (!f)
        return WORM_ERR_RECORD_UNREADABLE;
    std::setvbuf(f, nullptr, _IONBF, 0); /* read straight into the chunk buffer */
    record_info info;
    int32_t r = stat_open(f, info) ? put_header(job, name, info) : WORM_ERR_RECORD_UNREADABLE;
    if (r == WORM_OK)
        r = put_contents(job, f, info.size);
    std::fclose(f);
    if (r == WORM_OK)
        r = put(job, nullptr, padding(info.size));
    return r;
}

/*
 * Emits every record below folder, in byte order of the member names.  Sorting
 * each folder's entries with '/' after the names of sub-folders gives that order
 * without holding the whole store's listing at once.
 */
int32_t export_folder(export_job &job, const fs::path &folder, const std::string &prefix)
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
        if (e.is_folder) {
            r = export_folder(job, e.path, prefix + e.key);
        } else if (!job.filtered || in_range(job, transaction_of(e.key))) {
            r = export_record(job, e.path, prefix + e.key);
        }
        if (r != WORM_OK)
            return r;
    }
    return WORM_OK;
}

/* The whole stream: members, the two zero blocks, then the last short chunk. */
int32_t export_store(worm_context *ctx, export_job job)
{
    job.buffer = ctx->buffer.data();
    job.fill = 0;
    int32_t r = export_folder(job, ctx->root, "");
    if (r == WORM_OK)
        r = put(job, nullptr, 2 * block_size);
    if (r == WORM_OK && job.fill > 0)
        r = deliver(job);
    return r;
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
    return guarded([&] {
        if (!ctx || !drive)
            return int32_t{WORM_ERR_NULL_ARGUMENT};
        fs::path root = store_root(drive);
        std::error_code ec;
        if (!fs::is_directory(root, ec))
            return int32_t{WORM_ERR_NO_STORE};
        *ctx = new worm_context{root, std::vector<unsigned char>(chunk_size)};
        return int32_t{WORM_OK};
    });
}

WORM_API int32_t WORM_CALL worm_export_tar(worm_context *ctx, worm_chunk_callback *callback,
                                           void *data)
{
    return guarded([&] {
        if (!ctx || !callback)
            return int32_t{WORM_ERR_NULL_ARGUMENT};
        return export_store(ctx, {callback, data, nullptr, 0, false, 0, 0});
    });
}

WORM_API int32_t WORM_CALL worm_export_tar_filtered_transaction(
    worm_context *ctx, int32_t first, int32_t last, const char *client,
    worm_chunk_callback *callback, void *data)
{
    return guarded([&] {
        if (!ctx || !callback)
            return int32_t{WORM_ERR_NULL_ARGUMENT};
        if (first > last)
            return int32_t{WORM_ERR_BAD_RANGE};
        if (client)
            return int32_t{WORM_ERR_NOT_SUPPORTED};
        return export_store(ctx, {callback, data, nullptr, 0, true, first, last});
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
