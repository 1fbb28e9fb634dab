/* The one way the tool's lines reach standard output: each formatted whole and
 * written in one call. */
#ifndef LINE_WRITER_H
#define LINE_WRITER_H

/* Lets GCC and Clang check print_line's arguments against its format;
 * Microsoft's compiler has no such attribute. */
#if defined(__GNUC__) || defined(__clang__)
#  define PRINTF_FORMAT(format_index, first_arg) \
    __attribute__((format(printf, format_index, first_arg)))
#else
#  define PRINTF_FORMAT(format_index, first_arg)
#endif

/* Prints one line; a line that cannot be written whole is remembered. */
void print_line(const char *format, ...) PRINTF_FORMAT(1, 2);

/* Names the first write error on standard error; returns whether there was one. */
bool report_write_error();

#endif /* LINE_WRITER_H */
