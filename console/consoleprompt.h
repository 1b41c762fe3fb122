#pragma once
// The console's answer to the prompt layer: real message boxes with the
// Chinese button texts the operator expects. main() installs it unless the
// server runs headless.

namespace ConsolePrompt {
void install();
}
