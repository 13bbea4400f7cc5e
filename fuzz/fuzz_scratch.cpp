#include "fuzz_check.h"

#include <unistd.h>

#include <cstdlib>

namespace fuzz {

std::string scratch_dir()
{
    static const std::string dir = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/nuvix-fuzz-XXXXXX";
        if (!mkdtemp(&pattern[0])) {
            std::perror("mkdtemp");
            std::abort();
        }
        static std::string created;
        created = pattern;
        std::atexit([] { ::rmdir(created.c_str()); });
        return pattern;
    }();
    return dir;
}

} // namespace fuzz
