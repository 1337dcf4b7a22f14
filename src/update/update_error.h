#pragma once
// Why an update was not installed, and what the user is told.

#include <exception>
#include <string_view>

namespace sv {

// The installation's own failures. Anything else that goes wrong while
// installing (network, disk, starting the swap script) has no case of its own
// and is reported as a download failure.
enum class UpdateError {
    badSignature,
    badPackage,
    notWritable,
};

// The exception that carries an UpdateError out of an installation step.
class UpdateFailure : public std::exception {
public:
    explicit UpdateFailure(UpdateError error) : error_(error) {}
    [[nodiscard]] UpdateError error() const { return error_; }
    [[nodiscard]] const char* what() const noexcept override;

private:
    UpdateError error_;
};

// The title of the one message box that every failed install shows.
inline constexpr std::string_view updateNotInstalledTitle = "Update not installed";

// The informative text of that box for one of the installation's own failures.
[[nodiscard]] std::string_view informativeText(UpdateError error);

// The informative text for whatever an installation step threw: the text of
// an UpdateFailure's case, the download text for anything else. The
// exception's own description is never shown.
[[nodiscard]] std::string_view informativeText(const std::exception_ptr& failure);

} // namespace sv
