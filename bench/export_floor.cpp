/*
 * export_floor - the cost of the stand-in's exports alone, for the benchmark:
 * the same calls as worm_export, with a callback that does nothing.
 *
 *   usage: export_floor <drive>
 *
 * Exits with the first non-zero result code, so a broken run is not timed.
 */
#include <cstdint>
#include <cstdio>

#include "worm_api.h"

/* Takes each chunk and does nothing with it. */
static int32_t WORM_CALL ignore_chunk(const unsigned char *, int32_t, void *) { return 0; }

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fputs("usage: export_floor <drive>\n", stderr);
        return 2;
    }
    worm_context *ctx = nullptr;
    unsigned char data[1024];
    int32_t result = worm_init(&ctx, argv[1]);
    if (result != 0)
        return result;
    result = worm_export_tar(ctx, ignore_chunk, data);
    int32_t filtered = worm_export_tar_filtered_transaction(ctx, 500, 600, nullptr,
                                                            ignore_chunk, data);
    worm_cleanup(ctx);
    return result != 0 ? result : filtered;
}
