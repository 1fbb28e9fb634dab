/* The chunk reporter: one numbered line for every chunk the library hands back. */
#include <cstdint>

#include "chunk_reporter.h"
#include "line_writer.h"

/* Number of the next chunk; it runs on across both exports and is never reset. */
static int32_t chunk_counter = 0;

/* The chunk's bytes and the callback data belong to the library: neither is read. */
int32_t WORM_CALL export_chunk_callback(const unsigned char *, int32_t length, void *)
{
    print_line("chunk no: %d\tlength: %d bytes\n", chunk_counter, length);
    chunk_counter++;
    return 0;
}
