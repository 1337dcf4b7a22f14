#pragma once
// The environment the app hands on. Children (the server, provisioning
// commands, the swap script and the app it relaunches) get the environment
// the app received, not the variables the app set for its own drawing.

#include <string>
#include <vector>

namespace sv::platform {

// Sets a variable that only this process is meant to read, such as the
// toolkit's renderer choice. A value the user already gave is kept, and is
// then handed on as the user gave it.
void setOwnVariable(const std::string& name, const std::string& value);

// This process's environment as "NAME=value" entries, without the variables
// that setOwnVariable added, and without the token a launcher hands this
// app for its window (DESKTOP_STARTUP_ID, XDG_ACTIVATION_TOKEN), which the
// toolkit takes out of the environment once it starts: a child started
// before that must not get it either.
[[nodiscard]] std::vector<std::string> environmentForChildren();

} // namespace sv::platform
