// wine_test_process: Windows processes for the engine's tests under Wine, where the
// Linux test script cannot see Windows process ids.
//
//   wine_test_process sleep <ms>
//       prints "pid <id>" and ends after ms milliseconds with exit code 0
//   wine_test_process run <pid file> <program> [arguments...]
//       starts program with the arguments (standard streams inherited), writes its
//       process id to pid file, waits for it, prints "exit 0x<code>" on standard error
//       (Wine hands only the low byte of an exit code on to Linux) and exits with its
//       exit code
//   wine_test_process lookup-text <code>
//       prints the engine's text for a name-lookup result code in brackets
//
// Exit code 125 when the process cannot be started or the arguments are wrong.

#include "name_lookup_error.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// One argument quoted so that the C runtime of the started program reads it back
// unchanged: backslashes count only in front of a quote.
std::string quote_argument(const std::string &arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"')
            out.append(backslashes * 2 + 1, '\\');
        else
            out.append(backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

int run_child(const char *pid_file, int argc, char **argv)
{
    std::string command_line;
    for (int i = 0; i < argc; ++i)
        command_line += (i ? " " : "") + quote_argument(argv[i]);
    STARTUPINFOA startup {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process {};
    if (!CreateProcessA(nullptr, &command_line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "wine_test_process: cannot start %s (%lu)\n", argv[0], GetLastError());
        return 125;
    }
    CloseHandle(process.hThread);
    // Written to a temporary name and renamed, so a reader never sees half a number.
    const std::string partial = std::string(pid_file) + ".part";
    if (FILE *f = std::fopen(partial.c_str(), "w")) {
        std::fprintf(f, "%lu\n", process.dwProcessId);
        std::fclose(f);
        MoveFileExA(partial.c_str(), pid_file, MOVEFILE_REPLACE_EXISTING);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 125;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    std::fprintf(stderr, "exit 0x%08lx\n", code);
    return static_cast<int>(code);
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "sleep" && argc == 3) {
        std::printf("pid %lu\n", GetCurrentProcessId());
        std::fflush(stdout);
        Sleep(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
        return 0;
    }
    if (mode == "lookup-text" && argc == 3) {
        std::printf("[%s]\n", name_lookup_error_text(std::atoi(argv[2])).c_str());
        return 0;
    }
    if (mode == "run" && argc >= 4)
        return run_child(argv[2], argc - 3, argv + 3);
    std::fputs("usage: wine_test_process sleep <ms> | run <pid file> <program> [args...]"
               " | lookup-text <code>\n", stderr);
    return 125;
}
