#include "update/public_key.h"

namespace sv {

std::string_view updatePublicKey() { return SV_UPDATE_PUBLIC_KEY; }

std::string_view testUpdatePublicKey() { return SV_TEST_UPDATE_PUBLIC_KEY; }

} // namespace sv
