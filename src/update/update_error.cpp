#include "update/update_error.h"

namespace sv {

namespace {
constexpr std::string_view downloadText = "The update couldn't be downloaded. Please try again later.";
}

const char* UpdateFailure::what() const noexcept
{
    switch (error_) {
    case UpdateError::badSignature:
        return "the update is not properly signed";
    case UpdateError::badPackage:
        return "the update package is damaged";
    case UpdateError::notWritable:
        return "the folder of the running app cannot be written";
    }
    return "the update failed";
}

std::string_view informativeText(UpdateError error)
{
    switch (error) {
    case UpdateError::badSignature:
        return "The update isn't properly signed, so it was not installed.";
    case UpdateError::badPackage:
        return "The update package is damaged, so it was not installed.";
    case UpdateError::notWritable:
        return "Please move Sandvoll to your Applications folder first, then the update will work.";
    }
    return downloadText;
}

std::string_view informativeText(const std::exception_ptr& failure)
{
    if (!failure)
        return downloadText;
    try {
        std::rethrow_exception(failure);
    } catch (const UpdateFailure& known) {
        return informativeText(known.error());
    } catch (...) {
        return downloadText;
    }
}

} // namespace sv
