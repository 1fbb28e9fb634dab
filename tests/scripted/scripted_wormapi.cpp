/*
 * A scripted WormAPI library for black-box runs of the tool.  It returns the
 * codes and delivers the chunk lengths that a script asks for, can crash in the
 * middle of an export, and records every call it receives.
 *
 * WORM_SCRIPT names the script, one instruction a line:
 *   init CODE                 result of worm_init (default 0)
 *   full CODE [LEN...]        result and chunk lengths of worm_export_tar
 *   filtered CODE [LEN...]    the same for worm_export_tar_filtered_transaction
 *   cleanup CODE              result of worm_cleanup
 *   crash full|filtered N     abort after delivering N chunks of that export
 * WORM_CALLS names the file the calls are appended to, one a line.  Pointers
 * are recorded as p1, p2, ... in order of first sight, and null as "null", so
 * a recording compares across runs and platforms.  On 32-bit x86 a callback
 * that leaves the stack pointer elsewhere than a matched call would (a calling
 * convention mismatch) is recorded with how far off it was.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "worm_api.h"

namespace {

struct export_script {
    int32_t code = 0;
    std::vector<int32_t> lengths;
    long crash_after = -1;
};

struct script {
    int32_t init = 0, cleanup = 0;
    export_script full, filtered;
};

struct worm_context_object {
    int unused;
} the_context;

std::vector<const void *> seen_pointers;
unsigned char chunk_bytes[1 << 20];

/* Names a pointer by when it was first seen, so recordings compare. */
std::string label(const void *p)
{
    if (!p)
        return "null";
    size_t i = 0;
    while (i < seen_pointers.size() && seen_pointers[i] != p)
        i++;
    if (i == seen_pointers.size())
        seen_pointers.push_back(p);
    return "p" + std::to_string(i + 1);
}

/* Appends one line to the recording; closed each time so a crash keeps it. */
void record(const std::string &line)
{
    const char *path = std::getenv("WORM_CALLS");
    if (!path)
        return;
    if (std::FILE *f = std::fopen(path, "ab")) {
        std::fwrite(line.data(), 1, line.size(), f);
        std::fputc('\n', f);
        std::fclose(f);
    }
}

/* Reads the script named by WORM_SCRIPT; a missing one means all defaults. */
script read_script()
{
    script s;
    const char *path = std::getenv("WORM_SCRIPT");
    std::FILE *f = path ? std::fopen(path, "rb") : nullptr;
    if (!f)
        return s;
    char line[4096];
    while (std::fgets(line, sizeof line, f)) {
        char *word = std::strtok(line, " \r\n");
        if (!word)
            continue;
        std::string op = word;
        char *arg = std::strtok(nullptr, " \r\n");
        int32_t code = arg ? static_cast<int32_t>(std::strtoll(arg, nullptr, 10)) : 0;
        if (op == "init") {
            s.init = code;
        } else if (op == "cleanup") {
            s.cleanup = code;
        } else if (op == "full" || op == "filtered") {
            export_script &e = op == "full" ? s.full : s.filtered;
            e.code = code;
            while (char *len = std::strtok(nullptr, " \r\n"))
                e.lengths.push_back(static_cast<int32_t>(std::strtoll(len, nullptr, 10)));
        } else if (op == "crash" && arg) {
            char *after = std::strtok(nullptr, " \r\n");
            (std::string(arg) == "full" ? s.full : s.filtered).crash_after =
                after ? std::strtol(after, nullptr, 10) : 0;
        }
    }
    std::fclose(f);
    return s;
}

#if defined(__i386__) && defined(__GNUC__) || defined(_M_IX86) && defined(_MSC_VER)
/* Calls callback with the stack pointer kept aside and says how far the call moved
 * it, then puts it back: on 32-bit x86 a caller and a callee that disagree on who
 * pops the arguments leave it off by their size, and this library stays sound. */
int32_t call_measured(worm_chunk_callback *target, const unsigned char *bytes,
                      int32_t count, void *context, long &moved)
{
#if defined(_MSC_VER) && !defined(__GNUC__)
    /* Microsoft's x86 inline assembly (where LENGTH is an operator): it saves
     * the registers the block uses, and reaches the arguments and locals
     * through EBP, which the pushes leave be. */
    int32_t result;
    long displaced;
    __asm {
        mov esi, esp
        push context
        push count
        push bytes
        call target
        mov edx, esi
        sub edx, esp
        mov esp, esi
        mov result, eax
        mov displaced, edx
    }
    moved = displaced;
    return result;
#else
    int32_t result;
    long displaced;
    uintptr_t saved, scratch;
    __asm__ volatile("movl %%esp, %%esi\n\t"
                     "pushl %[context]\n\t"
                     "pushl %[count]\n\t"
                     "pushl %[bytes]\n\t"
                     "call *%[target]\n\t"
                     "movl %%esi, %%edx\n\t"
                     "subl %%esp, %%edx\n\t"
                     "movl %%esi, %%esp"
                     : "=a"(result), "=d"(displaced), "=c"(scratch), "=&S"(saved)
                     : [target] "r"(target), [bytes] "r"(bytes), [count] "r"(count),
                       [context] "r"(context)
                     : "memory", "cc");
    moved = displaced;
    return result;
#endif
}

/* A callback of this library's own convention: how far a matched call moves it. */
int32_t WORM_CALL probe(const unsigned char *, int32_t, void *) { return 0; }

/* How far a call of this library's own convention moves the stack pointer. */
long matched_move()
{
    long moved = 0;
    call_measured(probe, nullptr, 0, nullptr, moved);
    return moved;
}

/* The stack pointer's move after a callback, against a matched call's; 0 is sound. */
int32_t call_callback(worm_chunk_callback *callback, const unsigned char *chunk,
                      int32_t length, void *data, long &off)
{
    static const long matched = matched_move();
    int32_t result = call_measured(callback, chunk, length, data, off);
    off -= matched;
    return result;
}
#else
/* One calling convention: nothing to measure. */
int32_t call_callback(worm_chunk_callback *callback, const unsigned char *chunk,
                      int32_t length, void *data, long &off)
{
    off = 0;
    return callback(chunk, length, data);
}
#endif

/* Delivers the scripted chunks, recording what the callback returns and any
 * stack pointer it left displaced. */
int32_t run_export(const export_script &e, worm_chunk_callback *callback, void *data)
{
    for (size_t i = 0;; i++) {
        if (e.crash_after >= 0 && static_cast<long>(i) == e.crash_after) {
            record("crash");
            std::abort();
        }
        if (i == e.lengths.size())
            break;
        long off = 0;
        int32_t r = call_callback(callback, chunk_bytes, e.lengths[i], data, off);
        record("callback(" + std::to_string(e.lengths[i]) + ") = " + std::to_string(r) +
               (off ? ", stack pointer off by " + std::to_string(off) + " bytes" : ""));
    }
    return e.code;
}

/* Labels a call's pointer arguments left to right, so the numbering is fixed. */
std::string labels(std::initializer_list<const void *> pointers)
{
    std::string out;
    for (const void *p : pointers)
        out += (out.empty() ? "" : ", ") + label(p);
    return out;
}

const void *as_pointer(worm_chunk_callback *callback) { return reinterpret_cast<const void *>(callback); }

} // namespace

extern "C" {

WORM_API int32_t WORM_CALL worm_init(worm_context **ctx, const char *drive)
{
    script s = read_script();
    std::string line = "worm_init(" + labels({ctx}) + ", \"" + (drive ? drive : "(null)") +
                       "\") = " + std::to_string(s.init);
    if (s.init == 0) {
        *ctx = reinterpret_cast<worm_context *>(&the_context);
        line += ", ctx " + labels({*ctx});
    }
    record(line);
    return s.init;
}

WORM_API int32_t WORM_CALL worm_export_tar(worm_context *ctx, worm_chunk_callback *callback,
                                           void *data)
{
    record("worm_export_tar(" + labels({ctx, as_pointer(callback), data}) + ")");
    return run_export(read_script().full, callback, data);
}

WORM_API int32_t WORM_CALL worm_export_tar_filtered_transaction(
    worm_context *ctx, int32_t first, int32_t last, const char *client,
    worm_chunk_callback *callback, void *data)
{
    std::string handle = labels({ctx});
    record("worm_export_tar_filtered_transaction(" + handle + ", " + std::to_string(first) +
           ", " + std::to_string(last) + ", " + labels({client, as_pointer(callback), data}) +
           ")");
    return run_export(read_script().filtered, callback, data);
}

WORM_API int32_t WORM_CALL worm_cleanup(worm_context *ctx)
{
    record("worm_cleanup(" + labels({ctx}) + ")");
    return read_script().cleanup;
}

} // extern "C"
