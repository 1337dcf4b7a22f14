#include "update/updater.h"

namespace sv {

// Unfinished: downloading, verifying and unpacking the package and handing
// over to the swap script join in their own change. Until then choosing
// "Install and Restart" installs nothing, shows nothing and leaves `working`
// alone, so the offer simply returns and later checks run as before.
platform::Task<void> Updater::install(UpdateInfo)
{
    co_return;
}

} // namespace sv
