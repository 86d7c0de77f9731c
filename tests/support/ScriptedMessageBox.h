// A message box whose answers a test scripts and whose calls it can inspect.
#pragma once

#include "kelvara/services/MessageBox.h"

#include <deque>
#include <string>
#include <vector>

namespace kelvara::testing {

class ScriptedMessageBox final : public MessageBoxService {
public:
    struct Call {
        std::string text;
        std::string caption;
        unsigned type;
    };

    // Answers given in order; once they run out, `fallback` answers.
    void Answer(std::initializer_list<int> answers) { answers_.insert(answers_.end(), answers); }
    void SetFallback(int answer) { fallback_ = answer; }

    int Show(std::string_view text, std::string_view caption, unsigned type) override
    {
        calls.push_back({std::string(text), std::string(caption), type});
        if (answers_.empty())
            return fallback_;
        const int answer = answers_.front();
        answers_.pop_front();
        return answer;
    }

    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const Call &call : calls)
            texts.push_back(call.text);
        return texts;
    }

    std::vector<Call> calls;

private:
    std::deque<int> answers_;
    int fallback_ = mb::kIdCancel;
};

} // namespace kelvara::testing
