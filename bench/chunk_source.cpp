/*
 * chunk_source - a WormAPI for the small-chunk benchmark.  Each export hands
 * back WORM_BENCH_CHUNKS chunks of 512 bytes from one buffer and reads nothing,
 * so what a run costs is the caller's work per chunk: its lines.
 */
#include <cstdint>
#include <cstdlib>

#include "worm_api.h"

struct worm_context {
    int unused;
};

namespace {

worm_context the_store;
unsigned char chunk[512];

/* Hands back the chunks; a callback that asks to stop ends the export. */
int32_t export_chunks(worm_chunk_callback *callback, void *data)
{
    const char *count = std::getenv("WORM_BENCH_CHUNKS");
    long n = count ? std::atol(count) : 0;
    for (long i = 0; i < n; i++)
        if (callback(chunk, sizeof chunk, data) != 0)
            return 16;
    return 0;
}

} // namespace

extern "C" {

WORM_API int32_t WORM_CALL worm_init(worm_context **ctx, const char *)
{
    *ctx = &the_store;
    return 0;
}

WORM_API int32_t WORM_CALL worm_export_tar(worm_context *, worm_chunk_callback *callback,
                                           void *data)
{
    return export_chunks(callback, data);
}

WORM_API int32_t WORM_CALL worm_export_tar_filtered_transaction(
    worm_context *, int32_t, int32_t, const char *, worm_chunk_callback *callback, void *data)
{
    return export_chunks(callback, data);
}

WORM_API int32_t WORM_CALL worm_cleanup(worm_context *) { return 0; }

} // extern "C"
