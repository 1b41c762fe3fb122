#include "console/consoleprompt.h"

#include "core/prompt.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace {
QString buttonText(Prompt::Answer a)
{
    switch (a) {
    case Prompt::Ok:
    case Prompt::Yes:
        return QApplication::translate("ConsolePrompt", "确定");
    case Prompt::No:
    case Prompt::Cancel:
        return QApplication::translate("ConsolePrompt", "取消");
    }
    return QString();
}

QMessageBox::ButtonRole role(Prompt::Answer a)
{
    return a == Prompt::Ok || a == Prompt::Yes ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
}

QMessageBox::Icon icon(Prompt::Icon i)
{
    switch (i) {
    case Prompt::Information:
        return QMessageBox::Information;
    case Prompt::Warning:
        return QMessageBox::Warning;
    case Prompt::Critical:
        return QMessageBox::Critical;
    case Prompt::Question:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

Prompt::Answer showBox(const Prompt::Request &request)
{
    QMessageBox box(icon(request.icon), request.title, request.text, QMessageBox::NoButton,
                    QApplication::activeWindow());
    QList<QPair<QAbstractButton *, Prompt::Answer>> buttons;
    for (Prompt::Answer a : request.buttons) {
        QPushButton *b = box.addButton(buttonText(a), role(a));
        buttons.append({b, a});
        if (a == request.defaultAnswer)
            box.setDefaultButton(b);
    }
    box.exec();
    for (const auto &pair : buttons) {
        if (box.clickedButton() == pair.first)
            return pair.second;
    }
    // Closed with Escape or the title bar: the box's own way of saying no.
    return request.buttons.contains(Prompt::No) ? Prompt::No
         : request.buttons.contains(Prompt::Cancel) ? Prompt::Cancel
                                                     : request.defaultAnswer;
}
} // namespace

void ConsolePrompt::install()
{
    Prompt::setHandler(&showBox);
}
