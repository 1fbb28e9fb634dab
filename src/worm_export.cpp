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
 * standard output could not be written, which standard error then names; 2
 * without both arguments; on Windows 3 when the drive or client has characters
 * that the system's ANSI code page cannot carry (nothing is called then).
 */
#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "chunk_reporter.h"
#include "line_writer.h"
#include "worm_api.h"

/* Without both arguments the lines would be handed null strings: refuse instead. */
static void usage()
{
    std::fputs("usage: worm_export <drive> <client>\n", stderr);
    std::exit(2);
}

#ifdef _WIN32
/* Whether text has a spelling in the ANSI code page, without best fit. */
static bool fits_code_page(const wchar_t *text)
{
    if (GetACP() == CP_UTF8)
        return true; /* every character has one */
    BOOL lost = FALSE;
    int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, nullptr, 0,
                                   nullptr, nullptr);
    std::vector<char> bytes(size > 0 ? static_cast<size_t>(size) : 1);
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, bytes.data(), size, nullptr,
                        &lost);
    return !lost;
}
#endif

/* Windows hands main its arguments in the ANSI code page, best fitting what the
 * page lacks (a Greek capital omega becomes O): the store opened would not be
 * the one named.  So a drive or client that the page cannot carry, as the wide
 * command line shows, is refused before anything is called. */
static void refuse_altered_arguments()
{
#ifdef _WIN32
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    const char *lost = nullptr;
    if (wide && count > 1 && !fits_code_page(wide[1]))
        lost = "drive";
    else if (wide && count > 2 && !fits_code_page(wide[2]))
        lost = "client";
    LocalFree(wide);
    if (lost) {
        std::fprintf(stderr, "worm_export: the %s has characters that this system's code "
                             "page (%u) cannot carry\n", lost, GetACP());
        std::exit(3);
    }
#endif
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
    refuse_altered_arguments();
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
        report_write_error();
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
    return report_write_error() ? 1 : 0;
}
