#pragma once

#include "dialogue.h"

#include <QTest>

#include <deque>
#include <string>
#include <vector>

namespace pendrel::test {

// Answers message boxes from a script and records what was shown. A box
// beyond the script fails the test and is answered so that the asking code
// ends (Yes, Cancel, Abort, Ok), so a wrong loop cannot hang the test.
class ScriptedMessageBoxes final : public MessageBoxes
{
public:
    struct Shown
    {
        std::string text;
        Buttons buttons;
        std::string details;
    };

    explicit ScriptedMessageBoxes(std::deque<Answer> answers = {}) : m_answers(std::move(answers)) { }

    Answer show(const std::string &text, Buttons buttons, const std::string &details = {}) override
    {
        shown.push_back({text, buttons, details});
        if (m_answers.empty()) {
            QTest::qFail(qPrintable(QStringLiteral("unscripted message box: %1").arg(QString::fromStdString(text))),
                         __FILE__, __LINE__);
            return endingAnswer(buttons);
        }
        const Answer answer = m_answers.front();
        m_answers.pop_front();
        return answer;
    }

    [[nodiscard]] std::size_t unanswered() const { return m_answers.size(); }

    std::vector<Shown> shown;

private:
    static Answer endingAnswer(Buttons buttons)
    {
        switch (buttons) {
        case Buttons::RetryCancel:
            return Answer::Cancel;
        case Buttons::YesNo:
            return Answer::Yes;
        case Buttons::AbortRetryIgnore:
            return Answer::Abort;
        case Buttons::Ok:
            break;
        }
        return Answer::Ok;
    }

    std::deque<Answer> m_answers;
};

} // namespace pendrel::test
