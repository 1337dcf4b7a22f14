#include "platform/temporary_directory.h"

#include <glib.h>

namespace sv::platform {

std::filesystem::path temporaryDirectory() { return g_get_tmp_dir(); }

std::filesystem::path userRuntimeDirectory() { return g_get_user_runtime_dir(); }

} // namespace sv::platform
