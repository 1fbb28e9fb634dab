/*
 * worm_export - exercises the export functions of a WORM store.
 *
 * Opens the store on <drive> through the WormAPI library, has the library export
 * the whole store as a TAR stream and then the records of transactions 500 to
 * 600, and prints one numbered line per chunk it hands back, with the result
 * codes of worm_init and the exports (worm_cleanup's is not printed).  The
 * archive bytes are neither kept nor read.
 *
 *   usage: worm_export <drive> <client>
 *
 * Exits 0 once the store was opened, else with worm_init's failure code; 1 when
 * standard output could not be written, which standard error then names.
 */
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "worm_api.h"

/* chunk_reporter.cpp */
worm_chunk_callback export_chunk_callback;
void print_line(const char *format, ...) __attribute__((format(printf, 1, 2)));
bool report_lost_lines();

/* Without both arguments the lines would be handed null strings: refuse instead. */
static void usage()
{
    std::fputs("usage: worm_export <drive> <client>\n", stderr);
    std::exit(2);
}

/* A POSIX status keeps only the low 8 bits: keep every failure non-zero. */
static int exit_status(int32_t code)
{
#ifdef _WIN32
    return code;
#else
    int low = static_cast<int>(static_cast<uint32_t>(code) & 0xFFu);
    return low != 0 ? low : 1;
#endif
}

int main(int argc, char *argv[])
{
    if (argc < 3)
        usage();
    const char *drive = argv[1];
    const char *client = argv[2];
    worm_context *ctx = nullptr;
    unsigned char data[1024]; /* the callback data of both exports; never read */

#ifdef SIGPIPE
    /* A closed pipe is a failed write like any other: finish and close the store. */
    std::signal(SIGPIPE, SIG_IGN);
#endif

    print_line("using drive %s\n", drive);
    int32_t result = worm_init(&ctx, drive);
    print_line("result worm_init(): %d\n", result);
    if (result != 0) {
        report_lost_lines();
        return exit_status(result);
    }

    result = worm_export_tar(ctx, export_chunk_callback, data);
    print_line("result worm_export_tar(): %d\n", result);
    print_line("\n");
    print_line("using client %s\n", client);
    result = worm_export_tar_filtered_transaction(ctx, 500, 600, nullptr,
                                                  export_chunk_callback, data);
    print_line("result worm_export...(): %d\n", result);
    worm_cleanup(ctx);

    /* Lines that never reached standard output must not read as success. */
    return report_lost_lines() ? 1 : 0;
}
