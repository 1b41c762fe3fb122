#pragma once
// How the console runs its modal dialogs. By default a dialog is exec()'d;
// tests install a runner that fills the fields and presses the buttons, so no
// test ever waits on a modal window.

#include <functional>

class QDialog;

namespace DialogRunner {
using Runner = std::function<int(QDialog *dialog)>;

// An empty runner restores exec().
void setRunner(Runner runner);
// Returns the dialog's result code (QDialog::Accepted or Rejected).
int run(QDialog *dialog);
}
