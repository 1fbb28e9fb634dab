/*
 * store_dump - drives the stand-in WormAPI library directly, for its tests.
 *
 *   usage: store_dump [-o FILE] [-c CLIENT] [-s N] [-t N PATH] [-r N PATH]
 *                     [-w N PATH OTHER] [-n ctx|callback] DRIVE [FIRST LAST]
 *          store_dump -l
 *
 * Runs the full export, or the filtered one when FIRST and LAST are given, and
 * prints the init result, one "chunk LEN" line per chunk and the export result.
 *   -o FILE     also write the stream to FILE; "-" writes it to standard
 *               output, and the lines then go to standard error
 *   -c CLIENT   pass CLIENT as the filtered export's fourth argument
 *   -s N        the callback asks to stop at chunk N
 *   -t N PATH   truncate PATH to 0 bytes when chunk N arrives
 *   -r N PATH   remove PATH when chunk N arrives
 *   -w N PATH OTHER  put OTHER in the place of PATH (removed, with all below it)
 *               when chunk N arrives
 *   -n WHAT     pass a null: "handle" or "drive" to worm_init, "ctx" to the
 *               export and to worm_cleanup (printing "cleanup CODE"), or
 *               "callback" to the export
 *   -l          print the stand-in's chunk size and result codes, "NAME VALUE"
 *               a line, as compiled: the tests take them from here
 */
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "worm_api.h"
#include "worm_store.h"

namespace fs = std::filesystem;

struct dump_state {
    std::FILE *out = nullptr;
    std::FILE *report = stdout; /* where the result and chunk lines go */
    long chunks = 0;
    long stop_at = -1, truncate_at = -1, remove_at = -1, swap_at = -1;
    const char *truncate_path = nullptr, *remove_path = nullptr;
    const char *swap_path = nullptr, *swap_with = nullptr;
};

static void usage()
{
    std::fputs("usage: store_dump [-o FILE] [-c CLIENT] [-s N] [-t N PATH] [-r N PATH]"
               " [-w N PATH OTHER] [-n ctx|callback] DRIVE [FIRST LAST]\n"
               "       store_dump -l\n",
               stderr);
    std::exit(2);
}

/* Records the chunk, then does to the store what the options ask at this chunk. */
static int32_t WORM_CALL on_chunk(const unsigned char *chunk, int32_t length, void *data)
{
    dump_state &s = *static_cast<dump_state *>(data);
    std::fprintf(s.report, "chunk %d\n", length);
    if (s.out)
        std::fwrite(chunk, 1, static_cast<size_t>(length), s.out);
    long n = s.chunks++;
    std::error_code ec;
    if (n == s.truncate_at)
        fs::resize_file(s.truncate_path, 0, ec);
    if (n == s.remove_at)
        fs::remove(s.remove_path, ec);
    if (n == s.swap_at && fs::remove_all(s.swap_path, ec) != static_cast<std::uintmax_t>(-1))
        fs::rename(s.swap_with, s.swap_path, ec);
    return n == s.stop_at ? 1 : 0;
}

/* The constants the tests need, by name; a renamed one stops this compiling. */
static int list_constants()
{
#define PRINT(name) std::printf("%s %ld\n", #name, static_cast<long>(name))
    PRINT(WORM_STORE_CHUNK_SIZE);
    PRINT(WORM_OK);
    PRINT(WORM_ERR_NULL_ARGUMENT);
    PRINT(WORM_ERR_NO_STORE);
    PRINT(WORM_ERR_BAD_RANGE);
    PRINT(WORM_ERR_NOT_SUPPORTED);
    PRINT(WORM_ERR_STORE_UNREADABLE);
    PRINT(WORM_ERR_RECORD_UNREADABLE);
    PRINT(WORM_ERR_CALLBACK_STOPPED);
    PRINT(WORM_ERR_OUT_OF_MEMORY);
    PRINT(WORM_ERR_INTERNAL);
#undef PRINT
    return 0;
}

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "-l") == 0)
        return list_constants();
    dump_state s;
    const char *client = nullptr, *null_arg = "";
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        std::string opt = argv[i];
        int paths = opt == "-t" || opt == "-r" ? 1 : opt == "-w" ? 2 : 0;
        if (i + 1 + paths >= argc)
            usage();
        const char *value = argv[++i];
        if (opt == "-o" && std::strcmp(value, "-") == 0) {
#ifdef _WIN32
            _setmode(_fileno(stdout), _O_BINARY); /* the stream's bytes, untranslated */
#endif
            s.out = stdout;
            s.report = stderr;
        } else if (opt == "-o") {
            s.out = std::fopen(value, "wb");
            if (!s.out)
                return 2;
        } else if (opt == "-c")
            client = value;
        else if (opt == "-s")
            s.stop_at = std::atol(value);
        else if (opt == "-t")
            s.truncate_at = std::atol(value), s.truncate_path = argv[++i];
        else if (opt == "-r")
            s.remove_at = std::atol(value), s.remove_path = argv[++i];
        else if (opt == "-w")
            s.swap_at = std::atol(value), s.swap_path = argv[i + 1], s.swap_with = argv[i + 2],
            i += 2;
        else if (opt == "-n")
            null_arg = value;
        else
            usage();
    }
    if (argc - i != 1 && argc - i != 3)
        usage();

    /* A failed init must leave the handle as it found it. */
    worm_context *const untouched = reinterpret_cast<worm_context *>(&s);
    worm_context *ctx = untouched;
    int32_t r = std::strcmp(null_arg, "handle") == 0
                    ? worm_init(nullptr, argv[i])
                    : worm_init(&ctx, std::strcmp(null_arg, "drive") == 0 ? nullptr : argv[i]);
    std::fprintf(s.report, "init %d%s\n", r, r != 0 && ctx != untouched ? " handle written" : "");
    if (r != 0)
        return 0;

    worm_context *use_ctx = std::strcmp(null_arg, "ctx") == 0 ? nullptr : ctx;
    worm_chunk_callback *use_callback = std::strcmp(null_arg, "callback") == 0 ? nullptr : on_chunk;
    if (argc - i == 1)
        r = worm_export_tar(use_ctx, use_callback, &s);
    else
        r = worm_export_tar_filtered_transaction(use_ctx, std::atoi(argv[i + 1]),
                                                 std::atoi(argv[i + 2]), client,
                                                 use_callback, &s);
    std::fprintf(s.report, "export %d\n", r);
    if (!use_ctx)
        std::fprintf(s.report, "cleanup %d\n", worm_cleanup(nullptr));
    worm_cleanup(ctx);
    if (s.out && std::fclose(s.out) != 0)
        return 3;
    return 0;
}
