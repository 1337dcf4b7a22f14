#pragma once
// A web surface that records what the app loads into it.

#include "platform/web_view.h"

#include <functional>
#include <string>
#include <vector>

namespace sv::test {

class RecordingWeb final : public platform::WebSurface {
public:
    void loadHTML(const std::string& html) override { htmls.push_back(html); calls.push_back("html"); }
    void loadURL(const std::string& url) override { urls.push_back(url); calls.push_back("url " + url); }
    void reload() override { ++reloads; calls.push_back("reload"); }
    void startAfresh() override { calls.push_back("afresh"); }
    // Held until the test answers, as a page whose dialog waits for a person.
    void askToLeave(std::function<void(bool)> answer) override { leaveQuestions.push_back(std::move(answer)); }

    std::vector<std::string> htmls;
    std::vector<std::string> urls;
    int reloads = 0;
    // Every call above but askToLeave, in order: "html", "url <address>",
    // "reload", "afresh".
    std::vector<std::string> calls;
    std::vector<std::function<void(bool)>> leaveQuestions;
};

} // namespace sv::test
