#include "platform/temporary_directory.h"

#include <glib.h>

namespace sv::platform {

std::filesystem::path temporaryDirectory() { return g_get_tmp_dir(); }

} // namespace sv::platform
