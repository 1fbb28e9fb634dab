/* The line writer: the one way any of the tool's lines reaches standard output. */
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "line_writer.h"

/* Whether a line could not be written whole, and why the first such write
 * failed: an errno value, 0 where none is known. */
static bool write_failed = false;
static int write_errno = 0;

/* Writes all of text to standard output with the C runtime's low-level write,
 * which on Windows still turns each \n into CRLF (text mode). */
static bool write_whole(const char *text, size_t size)
{
    while (size > 0) {
        errno = 0;
#ifdef _WIN32
        int written = _write(1, text, static_cast<unsigned>(size));
#else
        ssize_t written = write(1, text, size);
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
    if ((size < 0 || !write_whole(text, static_cast<size_t>(size))) && !write_failed) {
        write_failed = true;
        write_errno = errno;
    }
}

/* The system's wording of an errno value (Microsoft's runtime has strerror
 * only in its _s form without a deprecation warning). */
static const char *error_text(int error, char *buffer, size_t size)
{
#ifdef _WIN32
    return strerror_s(buffer, size, error) == 0 ? buffer : "unknown error";
#else
    (void)buffer, (void)size;
    return std::strerror(error);
#endif
}

/* Names a failure to write standard output on standard error, with the system's
 * reason where known, as careful tools do. */
bool report_write_error()
{
    if (!write_failed)
        return false;
    char reason[256];
    if (write_errno != 0)
        std::fprintf(stderr, "worm_export: write error on standard output: %s\n",
                     error_text(write_errno, reason, sizeof reason));
    else
        std::fputs("worm_export: write error on standard output\n", stderr);
    return true;
}
