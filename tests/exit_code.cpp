/*
 * exit_code - runs a program and writes its whole 32-bit exit code to a file,
 * for the Windows test runs: a Unix parent of a Wine process sees only 8 bits.
 *
 *   usage: exit_code OUTFILE PROGRAM [ARG...]
 *
 * The program inherits this one's standard handles.
 */
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

/* Quotes an argument so that the C runtime's command-line split gives it back. */
static std::string quoted(const std::string &arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        out += c;
        backslashes = 0;
    }
    out.append(2 * backslashes, '\\');
    return out + "\"";
}

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fputs("usage: exit_code OUTFILE PROGRAM [ARG...]\n", stderr);
        return 2;
    }
    std::string line;
    for (int i = 2; i < argc; i++)
        line += (i > 2 ? " " : "") + quoted(argv[i]);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child))
        return 3;
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    std::FILE *out = std::fopen(argv[1], "w");
    if (!out)
        return 4;
    std::fprintf(out, "%ld\n", static_cast<long>(static_cast<int32_t>(code)));
    return std::fclose(out) == 0 ? 0 : 4;
}
