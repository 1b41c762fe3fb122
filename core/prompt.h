#pragma once
// Every operator message box goes through here. The console installs a
// handler that shows real boxes; without one (headless mode, tests) the
// title and text go to the log as a warning and the default answer is taken.

#include <QList>
#include <QString>
#include <functional>

namespace Prompt {
enum Icon { Information, Warning, Critical, Question };
enum Answer { Ok, Yes, No, Cancel };

struct Request
{
    Icon icon = Information;
    QString title;
    QString text;
    QList<Answer> buttons{Ok};
    Answer defaultAnswer = Ok;
};

using Handler = std::function<Answer(const Request &)>;

// Replaces the handler; an empty handler restores the logging one.
void setHandler(Handler handler);
Answer show(const Request &request);

Answer information(const QString &title, const QString &text);
Answer warning(const QString &title, const QString &text);
Answer critical(const QString &title, const QString &text);
// Yes/No question; headless takes defaultAnswer.
Answer question(const QString &title, const QString &text, Answer defaultAnswer = No);
}
