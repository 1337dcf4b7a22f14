// One launch's provisioning and nothing else: the code sync, then the
// environment, exactly as the start-up task runs them. The crash recovery
// tests run this in its own process group and kill it at chosen moments.
//
//   provision_driver HOME SEARCH_PATH SHIPPED_CODE
//
// Prints each status line; exits 0 when provisioning succeeded, 1 with the
// message of a SetupError, 2 with the text of any other error.

#include "setup/code_sync.h"
#include "setup/command_runner.h"
#include "setup/python_env.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s HOME SEARCH_PATH SHIPPED_CODE\n", argv[0]);
        return 64;
    }
    try {
        const sv::Globals globals(argv[1], 0, argv[2]);
        const bool copied = sv::syncCode(globals, argv[3]);
        std::printf("code %s\n", copied ? "copied" : "in step");
        std::fflush(stdout);
        sv::ensurePython(globals, [](const std::string& status) {
            std::printf("%s\n", status.c_str());
            std::fflush(stdout);
        });
        return 0;
    } catch (const sv::SetupError& error) {
        std::fprintf(stderr, "%s\n", error.message.c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
}
