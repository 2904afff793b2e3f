#pragma once

#include "dialogue.h"

#include <QPointer>
#include <QWidget>

// The program's message boxes as QMessageBox: caption "Pendrel", no icon,
// the first button the default one.
class QtMessageBoxes final : public pendrel::MessageBoxes
{
public:
    void setParentWidget(QWidget *parent) { m_parent = parent; }
    pendrel::Answer show(const std::string &text, pendrel::Buttons buttons, const std::string &details = {}) override;

private:
    QPointer<QWidget> m_parent;
};
