#pragma once

#include "app/Dialogs.h"

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace tavelcast::testing {

// A Dialogs fake that records every box and question and answers from scripted queues.
// Unscripted questions are answered No; unscripted input dialogs are cancelled.
class RecordingDialogs : public Dialogs {
public:
    struct Event {
        std::string kind;  // "message", "error", "question", "input"
        std::string text;  // the text, the question, or "<title>|<prompt>|<prefill>"
    };

    void showMessage(const std::string& text) override { events.push_back({"message", text}); }
    void showError(const std::string& text) override { events.push_back({"error", text}); }

    bool askYesNo(const std::string& question) override {
        events.push_back({"question", question});
        if (yesNoAnswers.empty()) {
            return false;
        }
        const bool answer = yesNoAnswers.front();
        yesNoAnswers.pop_front();
        return answer;
    }

    bool inputQuery(const std::string& title, const std::string& prompt,
                    std::string& value) override {
        events.push_back({"input", title + "|" + prompt + "|" + value});
        if (inputAnswers.empty() || !inputAnswers.front()) {
            if (!inputAnswers.empty()) {
                inputAnswers.pop_front();
            }
            return false;
        }
        value = *inputAnswers.front();
        inputAnswers.pop_front();
        return true;
    }

    std::vector<std::string> texts(const std::string& kind) const {
        std::vector<std::string> out;
        for (const auto& event : events) {
            if (event.kind == kind) {
                out.push_back(event.text);
            }
        }
        return out;
    }

    std::vector<Event> events;
    std::deque<bool> yesNoAnswers;                      // true = Yes
    std::deque<std::optional<std::string>> inputAnswers;  // nullopt = Cancel
};

} // namespace tavelcast::testing
