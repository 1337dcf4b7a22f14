#include "setup/python_env.h"

#include "setup/command_runner.h"
#include "setup/file_tree.h"
#include "setup/text_file.h"

#include <cerrno>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace sv {
namespace {

// A failed command's output is what the user is shown. A command that
// failed without printing anything (or printed something that is not
// UTF-8) would leave an empty message box, so name the command instead.
[[noreturn]] void failed(const std::string& program, const RunResult& result)
{
    if (!result.output.empty())
        throw SetupError(result.output);
    throw SetupError(program + " failed with status " + std::to_string(result.status) + " and printed nothing readable.");
}

void require(const std::string& program, const RunResult& result)
{
    if (result.status != 0)
        failed(program, result);
}

void report(const StatusCallback& onStatus, std::string_view text)
{
    if (onStatus)
        onStatus(std::string(text));
}

} // namespace

std::string creationMarkerPath(const Globals& globals) { return globals.venv + ".creating"; }

namespace {

// Clears what a cut-short creation left, then marks the creation as begun.
void beginCreation(const Globals& globals, bool unfinished)
{
    std::error_code error;
    if (unfinished) {
        removeTree(globals.venv, error);
        if (error)
            throw std::filesystem::filesystem_error(
                "Could not remove an unfinished Python environment", globals.venv, error);
    }
    const std::filesystem::path marker = creationMarkerPath(globals);
    // If the folder cannot be made, writing the marker says why.
    std::filesystem::create_directories(marker.parent_path(), error);
    writeTextFileAtomically(marker, "");
}

void endCreation(const Globals& globals)
{
    const std::string marker = creationMarkerPath(globals);
    if (::unlink(marker.c_str()) != 0)
        throw std::filesystem::filesystem_error("Could not record the Python environment as complete", marker,
            std::error_code(errno, std::generic_category()));
}

} // namespace

std::string requirementsStampPath(const Globals& globals) { return globals.venv + "/.sandvoll-requirements"; }

namespace {

// What the disk says about the environment, read once per call.
struct EnvironmentState {
    std::string requirements; // the file's path
    std::string wanted;       // its text, empty when it cannot be read
    bool unfinished = false;  // a creation was cut short
    bool usable = false;      // created, with an executable interpreter
    bool inStep = false;      // usable, and the stamp equals `wanted`
};

EnvironmentState readEnvironmentState(const Globals& globals)
{
    EnvironmentState state;
    state.requirements = globals.project + "/requirements.txt";
    state.wanted = readTextFile(state.requirements).value_or(std::string());
    // The interpreter appears early in a creation. If the app was killed
    // after that, pip may be half unpacked with its metadata already written:
    // ensurepip then takes it as installed and every later install fails.
    // Such an environment is not used, whatever its interpreter says.
    struct stat info;
    state.unfinished = ::lstat(creationMarkerPath(globals).c_str(), &info) == 0;
    state.usable = !state.unfinished && isExecutableFile(globals.python);
    if (state.usable) {
        const auto installed = readTextFile(requirementsStampPath(globals));
        state.inStep = installed && *installed == state.wanted;
    }
    return state;
}

} // namespace

bool environmentInStep(const Globals& globals) { return readEnvironmentState(globals).inStep; }

void ensurePython(const Globals& globals, const StatusCallback& onStatus)
{
    const EnvironmentState state = readEnvironmentState(globals);
    if (state.inStep)
        return;

    // One lookup decides the tool for both creating and installing.
    const std::optional<std::string> uv = which(globals, { "uv" });

    if (!state.usable) {
        report(onStatus, settingUpPythonText);
        std::optional<std::string> interpreter;
        if (!uv) {
            interpreter = which(globals, { "python3.12", "python3" });
            if (!interpreter)
                throw SetupError(std::string(pythonNotFoundText));
        }
        beginCreation(globals, state.unfinished);
        if (uv)
            require(*uv, run(globals, *uv, { "venv", "--python", "3.12", globals.venv }));
        else
            require(*interpreter, run(globals, *interpreter, { "-m", "venv", globals.venv }));
        endCreation(globals);
    }

    struct stat info;
    if (::stat(state.requirements.c_str(), &info) != 0)
        return;

    report(onStatus, installingPackagesText);
    if (uv) {
        require(*uv, run(globals, *uv, { "pip", "install", "--python", globals.python, "-r", state.requirements }));
    } else {
        // An environment made without pip gets it here; if this fails the
        // install below fails too and says why.
        (void)run(globals, globals.python, { "-m", "ensurepip", "--upgrade" });
        require(globals.python, run(globals, globals.python, { "-m", "pip", "install", "-r", state.requirements }));
    }

    // The text read at the start, not a new reading: a file changed during
    // the install must not be recorded as installed.
    writeTextFileAtomically(requirementsStampPath(globals), state.wanted);
}

} // namespace sv
