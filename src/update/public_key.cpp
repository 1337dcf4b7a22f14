#include "update/public_key.h"

#include <sstream>

namespace sv {
namespace {

// The build hands the keys over as one text, separated by blanks.
std::vector<std::string> split(const char* keys)
{
    std::istringstream words(keys);
    std::vector<std::string> list;
    for (std::string key; words >> key;)
        list.push_back(key);
    return list;
}

} // namespace

std::vector<std::string> updatePublicKeys() { return split(SV_UPDATE_PUBLIC_KEYS); }

std::vector<std::string> testUpdatePublicKeys() { return split(SV_TEST_UPDATE_PUBLIC_KEYS); }

} // namespace sv
