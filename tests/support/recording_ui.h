#pragma once
// A UI surface that records message boxes, choices and opened URLs instead
// of showing them, installed for as long as it lives.

#include "platform/ui.h"

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace sv::test {

class RecordingUi final : public platform::UiSurface {
public:
    struct Alert {
        std::string title;
        std::string text;
        bool operator==(const Alert&) const = default;
        // A failed comparison names the box in words, not in bytes.
        friend void PrintTo(const Alert& alert, std::ostream* out)
        {
            *out << "Alert { \"" << alert.title << "\", \"" << alert.text << "\" }";
        }
    };
    struct Choice {
        std::string title;
        std::string text;
        std::vector<std::string> buttons;
    };

    RecordingUi() : previous_(platform::setUi(this)) {}
    ~RecordingUi() override { platform::setUi(previous_); }
    RecordingUi(const RecordingUi&) = delete;
    RecordingUi& operator=(const RecordingUi&) = delete;

    void alert(const std::string& title, const std::string& text) override
    {
        alerts.push_back({ title, text });
        if (whileAlertShows)
            whileAlertShows(alerts.back());
    }

    int choose(const std::string& title, const std::string& text, const std::vector<std::string>& buttons) override
    {
        choices.push_back({ title, text, buttons });
        return chooser ? chooser(choices.back()) : answer;
    }

    // Recorded as a choice, and held until the test answers it, as a person would.
    void chooseLater(const std::string& title, const std::string& text, const std::vector<std::string>& buttons,
        std::function<void(int)> done) override
    {
        choices.push_back({ title, text, buttons });
        laterAnswers.push_back(std::move(done));
    }

    void openURL(const std::string& url) override { openedURLs.push_back(url); }

    // One progress window: what it said, line by line, and whether it is
    // still open. cancel() is what the window's Cancel button does.
    struct Progress {
        std::string title;
        std::string cancelButton;
        std::vector<std::string> lines; // "text | detail", in order, repeats left out
        bool open = true;
        std::function<void()> cancel;
    };
    std::unique_ptr<platform::ProgressWindow> showProgress(
        const std::string& title, const std::string& cancelButton, std::function<void()> onCancel) override
    {
        progress.push_back(std::make_shared<Progress>(Progress { title, cancelButton, {}, true, std::move(onCancel) }));
        return std::make_unique<RecordingProgressWindow>(progress.back());
    }

    // Held until the test answers it, as a person would.
    void chooseSaveLocation(const std::string& suggestedName,
        std::function<void(std::optional<std::string>)> done) override
    {
        saveRequests.push_back({ suggestedName, std::move(done) });
    }

    [[nodiscard]] std::size_t shown() const { return alerts.size() + choices.size(); }

    std::vector<Alert> alerts;
    std::vector<Choice> choices;
    std::vector<std::function<void(int)>> laterAnswers; // one per chooseLater, in order
    std::vector<std::string> openedURLs;
    std::vector<std::shared_ptr<Progress>> progress;
    struct SaveRequest {
        std::string suggestedName;
        std::function<void(std::optional<std::string>)> answer;
    };
    std::vector<SaveRequest> saveRequests;
    // The button every choice gets, unless chooser decides.
    int answer = -1;
    std::function<int(const Choice&)> chooser;
    // Runs while a message box is "open", before it is dismissed.
    std::function<void(const Alert&)> whileAlertShows;

private:
    class RecordingProgressWindow final : public platform::ProgressWindow {
    public:
        explicit RecordingProgressWindow(std::shared_ptr<Progress> record) : record_(std::move(record)) {}
        ~RecordingProgressWindow() override { record_->open = false; }
        RecordingProgressWindow(const RecordingProgressWindow&) = delete;
        RecordingProgressWindow& operator=(const RecordingProgressWindow&) = delete;
        void update(const std::string& text, std::optional<double>, const std::string& detail) override
        {
            const auto line = text + " | " + detail;
            if (record_->lines.empty() || record_->lines.back() != line)
                record_->lines.push_back(line);
        }

    private:
        std::shared_ptr<Progress> record_;
    };

    platform::UiSurface* previous_;
};

} // namespace sv::test
