/*
 * tar_writer.h - the stand-in's archive stream: POSIX ustar members, with a pax
 * header where ustar falls short, written to the chunked output that hands the
 * stream to the caller's callback.
 */
#ifndef TAR_WRITER_H
#define TAR_WRITER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "worm_api.h"

/* Where one export's stream goes: the callback gets the one buffer each time it
 * is full (WORM_STORE_CHUNK_SIZE bytes), and once more at the end. */
struct chunk_output {
    worm_chunk_callback *callback;
    void *data;
    unsigned char *buffer;
    size_t fill;
};

/* What a member's header says of its record. */
struct member_info {
    uint64_t size;
    int64_t mtime;
    unsigned mode;
};

/* These return WORM_OK, or the code that ends the export. */

/* One member: its header(s), info.size bytes read from contents, padding. */
int32_t put_member(chunk_output &out, const std::string &name, const member_info &info,
                   std::FILE *contents);

/* The two zero blocks that end an archive, then the last, short chunk. */
int32_t finish_archive(chunk_output &out);

#endif /* TAR_WRITER_H */
