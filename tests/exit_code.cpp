/*
 * exit_code - runs a program and writes its whole 32-bit exit code to a file,
 * for the Windows test runs: a Unix parent of a Wine process sees only 8 bits.
 *
 *   usage: exit_code OUTFILE PROGRAM [ARG...]
 *
 * The program inherits this one's standard handles, and gets its arguments as
 * this one got them, in UTF-16: nothing passes through the ANSI code page.
 */
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <string>

/* Quotes an argument so that the C runtime's command-line split gives it back. */
static std::wstring quoted(const std::wstring &arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        out += c;
        backslashes = 0;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3) {
        std::fputs("usage: exit_code OUTFILE PROGRAM [ARG...]\n", stderr);
        return 2;
    }
    std::wstring line;
    for (int i = 2; i < argc; i++)
        line += (i > 2 ? L" " : L"") + quoted(argv[i]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child))
        return 3;
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    std::FILE *out = _wfopen(argv[1], L"w");
    if (!out)
        return 4;
    std::fprintf(out, "%ld\n", static_cast<long>(static_cast<int32_t>(code)));
    return std::fclose(out) == 0 ? 0 : 4;
}
