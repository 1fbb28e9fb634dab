/*
 * worm_api.h - the four WormAPI operations and the chunk callback, as the tool
 * calls them.  The stand-in library and the test libraries compile against this
 * same file, so the caller and the library cannot drift apart.
 *
 * Results and lengths are 32-bit signed; every other argument is pointer-sized.
 */
#ifndef WORM_API_H
#define WORM_API_H

#include <stdint.h>

/* Calling convention of every operation and of the callback.  A vendor library
 * built with another one (say __stdcall) is matched by defining WORM_CALL when
 * building, e.g. -DWORM_CALL=__stdcall. */
#ifndef WORM_CALL
#  ifdef _WIN32
#    define WORM_CALL __cdecl
#  else
#    define WORM_CALL
#  endif
#endif

/* Import/export: the library defines WORM_API_BUILD while it compiles itself;
 * a DLL whose exported names a .def file gives defines WORM_API empty. */
#ifdef WORM_API
#elif defined(_WIN32)
#  ifdef WORM_API_BUILD
#    define WORM_API __declspec(dllexport)
#  else
#    define WORM_API __declspec(dllimport)
#  endif
#else
#  define WORM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle: created by worm_init, released by worm_cleanup. */
typedef struct worm_context worm_context;

/* Called once per chunk of the TAR stream, on the caller's thread, before the
 * export returns.  A non-zero return asks the library to stop the export. */
typedef int32_t(WORM_CALL worm_chunk_callback)(const unsigned char *chunk,
                                               int32_t length, void *data);

/* Opens the store on drive; 0 means open and *ctx holds the handle. */
WORM_API int32_t WORM_CALL worm_init(worm_context **ctx, const char *drive);

/* Streams the whole store as a TAR archive to callback, passing data along. */
WORM_API int32_t WORM_CALL worm_export_tar(worm_context *ctx,
                                           worm_chunk_callback *callback,
                                           void *data);

/* Streams the records of transactions first..last; client may be null. */
WORM_API int32_t WORM_CALL worm_export_tar_filtered_transaction(
    worm_context *ctx, int32_t first, int32_t last, const char *client,
    worm_chunk_callback *callback, void *data);

/* Releases the handle. */
WORM_API int32_t WORM_CALL worm_cleanup(worm_context *ctx);

#ifdef __cplusplus
}
#endif

#endif /* WORM_API_H */
