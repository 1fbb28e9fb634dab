/*
 * line_floor - the floor of the small-chunk benchmark: worm_export's run and
 * lines, byte for byte, with each line formatted into a buffer and written with
 * one system call (write, or WriteFile on Windows), no C stdio in between.
 *
 *   usage: line_floor <drive> <client>
 */
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "worm_api.h"

static int32_t chunk_counter = 0;

/* Formats one line, adds the platform's line end and writes it in one call. */
static void write_line(const char *format, ...)
{
    char line[4096];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line - 2, format, args);
    va_end(args);
    if (n < 0 || n > static_cast<int>(sizeof line) - 3)
        n = sizeof line - 3; /* a longer line is cut: the bench's lines are short */
#ifdef _WIN32
    line[n++] = '\r';
    line[n++] = '\n';
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(n), &written, nullptr);
#else
    line[n++] = '\n';
    if (write(1, line, static_cast<size_t>(n)) != n)
        _exit(1);
#endif
}

static int32_t WORM_CALL write_chunk_line(const unsigned char *, int32_t length, void *)
{
    write_line("chunk no: %d\tlength: %d bytes", chunk_counter, length);
    chunk_counter++;
    return 0;
}

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fputs("usage: line_floor <drive> <client>\n", stderr);
        return 2;
    }
    worm_context *ctx = nullptr;
    unsigned char data[1024];
    write_line("using drive %s", argv[1]);
    int32_t result = worm_init(&ctx, argv[1]);
    write_line("result worm_init(): %d", result);
    if (result != 0)
        return 1;
    write_line("result worm_export_tar(): %d", worm_export_tar(ctx, write_chunk_line, data));
    write_line("");
    write_line("using client %s", argv[2]);
    result = worm_export_tar_filtered_transaction(ctx, 500, 600, nullptr, write_chunk_line, data);
    write_line("result worm_export...(): %d", result);
    worm_cleanup(ctx);
    return 0;
}
