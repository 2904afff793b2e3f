#include "qtmessageboxes.h"

#include "elide.h"

#include <QMessageBox>

#include <utility>
#include <vector>

using pendrel::Answer;
using pendrel::Buttons;

namespace {

struct ButtonSet
{
    std::vector<std::pair<QMessageBox::StandardButton, Answer>> choices;
    std::size_t escape; // index of the button Escape and the close box press
};

ButtonSet buttonSet(Buttons buttons)
{
    switch (buttons) {
    case Buttons::Ok:
        break;
    case Buttons::RetryCancel:
        return {{{QMessageBox::Retry, Answer::Retry}, {QMessageBox::Cancel, Answer::Cancel}}, 1};
    case Buttons::YesNo:
        return {{{QMessageBox::Yes, Answer::Yes}, {QMessageBox::No, Answer::No}}, 1};
    case Buttons::AbortRetryIgnore:
        return {{{QMessageBox::Abort, Answer::Abort}, {QMessageBox::Retry, Answer::Retry},
                 {QMessageBox::Ignore, Answer::Ignore}},
                0};
    }
    return {{{QMessageBox::Ok, Answer::Ok}}, 0};
}

} // namespace

Answer QtMessageBoxes::show(const std::string &text, Buttons buttons, const std::string &details)
{
    QMessageBox box(m_parent);
    box.setWindowTitle(QStringLiteral("Pendrel"));
    box.setIcon(QMessageBox::NoIcon);
    box.setTextFormat(Qt::PlainText);
    // A lone CR breaks the line in the wrong-volume message.
    QString shown = QString::fromLocal8Bit(text);
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    box.setText(elidedLines(shown));
    if (!details.empty())
        box.setDetailedText(elidedLines(QString::fromLocal8Bit(details)));

    const ButtonSet set = buttonSet(buttons);
    QMessageBox::StandardButtons standard;
    for (const auto &choice : set.choices)
        standard |= choice.first;
    box.setStandardButtons(standard);
    box.setDefaultButton(set.choices.front().first);
    box.setEscapeButton(set.choices[set.escape].first);

    const int pressed = box.exec();
    for (const auto &choice : set.choices) {
        if (choice.first == pressed)
            return choice.second;
    }
    return set.choices[set.escape].second;
}
