/*
 * tar_writer.cpp - the stand-in's archive stream, in two layers.
 *
 * The chunked output: bytes go into the one buffer, which reaches the callback
 * whenever it is full; the archive code above it writes blocks and never sees
 * a chunk.
 *
 * The archive: each member is a ustar header block, the record's bytes and zero
 * padding to a whole block, preceded by a pax extended header ('x') where the
 * name, size or time does not fit ustar's fields; two zero blocks end it.
 */
#include "tar_writer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "worm_store.h"

namespace {

constexpr size_t block_size = 512;
constexpr size_t chunk_size = WORM_STORE_CHUNK_SIZE;
static_assert(chunk_size % block_size == 0, "chunks hold whole TAR blocks");

/* The chunked output */

/* Hands the filled part of the buffer to the callback and starts it afresh. */
int32_t deliver(chunk_output &out)
{
    int32_t stop = out.callback(out.buffer, static_cast<int32_t>(out.fill), out.data);
    out.fill = 0;
    return stop == 0 ? WORM_OK : WORM_ERR_CALLBACK_STOPPED;
}

/* Appends count bytes, which write_into(place, n) puts into the buffer n at a
 * time (false: they could not be had); each full buffer goes out as a chunk. */
template <typename Writer> int32_t append(chunk_output &out, uint64_t count, Writer write_into)
{
    while (count > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(count, chunk_size - out.fill));
        if (!write_into(out.buffer + out.fill, n))
            return WORM_ERR_RECORD_UNREADABLE;
        count -= n;
        out.fill += n;
        if (out.fill == chunk_size) {
            int32_t r = deliver(out);
            if (r != WORM_OK)
                return r;
        }
    }
    return WORM_OK;
}

int32_t append_bytes(chunk_output &out, const void *from, size_t count)
{
    auto next = static_cast<const unsigned char *>(from);
    return append(out, count, [&next](unsigned char *place, size_t n) {
        std::memcpy(place, next, n);
        next += n;
        return true;
    });
}

int32_t append_zeros(chunk_output &out, size_t count)
{
    return append(out, count, [](unsigned char *place, size_t n) {
        std::memset(place, 0, n);
        return true;
    });
}

/* Reads count bytes of f straight into the buffer; a short read fails. */
int32_t append_file(chunk_output &out, std::FILE *f, uint64_t count)
{
    return append(out, count, [f](unsigned char *place, size_t n) {
        return std::fread(place, 1, n, f) == n;
    });
}

/* The archive */

/* The ustar header block: each field at its offset, with its width. */
struct ustar_header {
    char name[100];     /*   0: path; longer ones go in a pax header */
    char mode[8];       /* 100: octal fields: digits, then a NUL */
    char uid[8];        /* 108 */
    char gid[8];        /* 116 */
    char size[12];      /* 124 */
    char mtime[12];     /* 136: seconds since 1970 */
    char checksum[8];   /* 148: six digits, a NUL and a space */
    char typeflag;      /* 156: '0' a file, 'x' a pax header */
    char linkname[100]; /* 157 */
    char magic[6];      /* 257: "ustar" and a NUL */
    char version[2];    /* 263: "00" */
    char uname[32];     /* 265 */
    char gname[32];     /* 297 */
    char devmajor[8];   /* 329 */
    char devminor[8];   /* 337 */
    char prefix[155];   /* 345 */
    char unused[12];    /* 500 */
};
static_assert(sizeof(ustar_header) == block_size, "a header is one block");
static_assert(offsetof(ustar_header, checksum) == 148 && offsetof(ustar_header, magic) == 257,
              "the fields sit where readers look for them");

/* Zero bytes that pad count bytes of data up to a whole block. */
size_t padding(uint64_t count) { return (block_size - count % block_size) % block_size; }

/* Whether value fits an octal field of width bytes: its digits and a NUL. */
bool fits_octal(size_t width, uint64_t value) { return value >> (3 * (width - 1)) == 0; }

/* Writes value, which fits, as width - 1 zero-padded octal digits and a NUL. */
void put_octal(char *field, size_t width, uint64_t value)
{
    field[width - 1] = '\0';
    for (size_t i = width - 1; i-- > 0; value >>= 3)
        field[i] = static_cast<char>('0' + (value & 7));
}

template <size_t width> void put_octal(char (&field)[width], uint64_t value)
{
    put_octal(field, width, value);
}

/* The sum of the block's bytes, the checksum field counted as spaces. */
void put_checksum(ustar_header &h)
{
    std::memset(h.checksum, ' ', sizeof h.checksum);
    const auto *bytes = reinterpret_cast<const unsigned char *>(&h);
    unsigned sum = 0;
    for (size_t i = 0; i < sizeof h; i++)
        sum += bytes[i];
    put_octal(h.checksum, sizeof h.checksum - 1, sum); /* leaves the space last */
}

ustar_header make_header(const std::string &name, uint64_t size, int64_t mtime, unsigned mode,
                         char type)
{
    ustar_header h{};
    std::memcpy(h.name, name.data(), std::min(name.size(), sizeof h.name));
    put_octal(h.mode, mode);
    put_octal(h.uid, 0);
    put_octal(h.gid, 0);
    put_octal(h.size, size);
    put_octal(h.mtime, static_cast<uint64_t>(mtime));
    h.typeflag = type;
    std::memcpy(h.magic, "ustar", sizeof h.magic);
    std::memcpy(h.version, "00", sizeof h.version);
    put_checksum(h);
    return h;
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

/* A pax extended header member holding records, for the member after it. */
int32_t put_pax_header(chunk_output &out, const std::string &records)
{
    ustar_header h = make_header("PaxHeader", records.size(), 0, 0644, 'x');
    int32_t r = append_bytes(out, &h, sizeof h);
    if (r == WORM_OK)
        r = append_bytes(out, records.data(), records.size());
    if (r == WORM_OK)
        r = append_zeros(out, padding(records.size()));
    return r;
}

} // namespace

int32_t put_member(chunk_output &out, const std::string &name, const member_info &info,
                   std::FILE *contents)
{
    bool name_fits = name.size() <= sizeof ustar_header::name;
    bool size_fits = fits_octal(sizeof ustar_header::size, info.size);
    bool mtime_fits = info.mtime >= 0 && fits_octal(sizeof ustar_header::mtime,
                                                    static_cast<uint64_t>(info.mtime));
    std::string pax;
    if (!name_fits)
        pax += pax_record("path", name);
    if (!size_fits)
        pax += pax_record("size", std::to_string(info.size));
    if (!mtime_fits)
        pax += pax_record("mtime", std::to_string(info.mtime));
    int32_t r = pax.empty() ? WORM_OK : put_pax_header(out, pax);

    /* Fields that do not fit are carried by the pax header; readers ignore them. */
    ustar_header h = make_header(name, size_fits ? info.size : 0, mtime_fits ? info.mtime : 0,
                                 info.mode, '0');
    if (r == WORM_OK)
        r = append_bytes(out, &h, sizeof h);
    if (r == WORM_OK)
        r = append_file(out, contents, info.size);
    if (r == WORM_OK)
        r = append_zeros(out, padding(info.size));
    return r;
}

int32_t finish_archive(chunk_output &out)
{
    int32_t r = append_zeros(out, 2 * block_size);
    if (r == WORM_OK && out.fill > 0)
        r = deliver(out);
    return r;
}
