// The running-jobs reading of a state body: whatever the server answers, the
// names come back sorted and unique, each one a job of the body whose
// "running" is true, and all of them.

#include "fuzz_support.h"
#include "update/offer.h"

#include <nlohmann/json.hpp>

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace sv;
    const std::string_view body = fuzz::text(data, size);
    const std::vector<std::string> names = runningJobsFromState(body);

    fuzz::require(std::adjacent_find(names.begin(), names.end(), std::greater_equal<>()) == names.end(),
        "names are sorted and unique");
    if (names.empty())
        return 0;

    const auto state = nlohmann::json::parse(body, nullptr, false);
    fuzz::require(!state.is_discarded() && state.is_object(), "names only from an object");
    const auto jobs = state.find("jobs");
    fuzz::require(jobs != state.end() && jobs->is_object(), "names only from a \"jobs\" object");
    std::size_t running = 0;
    for (const auto& [name, job] : jobs->items()) {
        fuzz::require(job.is_object(), "names only when every job is an object");
        const auto flag = job.find("running");
        const bool runs = flag != job.end() && flag->is_boolean() && flag->get<bool>();
        running += runs ? 1 : 0;
        fuzz::require(runs == std::binary_search(names.begin(), names.end(), name),
            "a job is named exactly when it runs");
    }
    fuzz::require(running == names.size(), "nothing but the running jobs is named");
    return 0;
}
