#include "console/dialogrunner.h"

#include <QDialog>

namespace {
DialogRunner::Runner &runner()
{
    static DialogRunner::Runner r;
    return r;
}
} // namespace

void DialogRunner::setRunner(Runner r)
{
    runner() = std::move(r);
}

int DialogRunner::run(QDialog *dialog)
{
    if (runner())
        return runner()(dialog);
    return dialog->exec();
}
