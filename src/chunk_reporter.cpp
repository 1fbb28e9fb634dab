/* The chunk reporter: one numbered line for every chunk the library hands back,
 * and the one way any of the tool's lines reaches standard output. */
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "worm_api.h"

worm_chunk_callback export_chunk_callback;

/* Number of the next chunk; it runs on across both exports and is never reset. */
static int32_t chunk_counter = 0;

/* Why the first line that could not be written whole failed (an errno value, 0
 * where none is known), or -1 while every line got out. */
static int lost_line_error = -1;

/* Writes all of text to standard output with the C runtime's low-level write,
 * which on Windows still turns each \n into CRLF (text mode). */
static bool write_whole(const char *text, size_t size)
{
    while (size > 0) {
        errno = 0;
#ifdef _WIN32
        long written = _write(1, text, static_cast<unsigned>(size));
#else
        long written = write(1, text, size);
#endif
        if (written <= 0)
            return false; /* errno says why, where the runtime knows */
        text += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

/*
 * Prints one line, formatted whole and then written in one call: it is out
 * before the library goes on, and reaches a file or pipe as one write.  C stdio
 * cannot promise that on Windows (an unbuffered stream is written a character
 * at a time there) and costs a flush and locks a line where it can.
 */
void print_line(const char *format, ...)
{
    char small[256];
    std::vector<char> large;
    const char *text = small;
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    errno = 0;
    int size = std::vsnprintf(small, sizeof small, format, args);
    if (size >= static_cast<int>(sizeof small)) { /* only a long drive or client */
        large.resize(static_cast<size_t>(size) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        text = large.data();
    }
    va_end(again);
    va_end(args);
    if ((size < 0 || !write_whole(text, static_cast<size_t>(size))) && lost_line_error < 0)
        lost_line_error = errno;
}

/* Names a failure to write standard output on standard error, with the system's
 * reason where known, as careful tools do; returns whether there was one. */
bool report_lost_lines()
{
    if (lost_line_error < 0)
        return false;
    if (lost_line_error > 0)
        std::fprintf(stderr, "worm_export: write error on standard output: %s\n",
                     std::strerror(lost_line_error));
    else
        std::fputs("worm_export: write error on standard output\n", stderr);
    return true;
}

/* The chunk's bytes and the callback data belong to the library: neither is read. */
int32_t WORM_CALL export_chunk_callback(const unsigned char *, int32_t length, void *)
{
    print_line("chunk no: %d\tlength: %d bytes\n", chunk_counter, length);
    chunk_counter++;
    return 0;
}
