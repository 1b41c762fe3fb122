#pragma once
// The command line of every program of the product: --help lists each
// option with its line of text; a wrong option, a missing value or an
// unexpected argument is an error on standard error and exit code 2.

#include <QCommandLineParser>
#include <QStringList>

namespace CommandLine {
// Parses arguments (argv as QCoreApplication gives it). Prints the help and
// exits 0 for --help; prints the error and the usage and exits 2 on a wrong
// command line. Positional arguments are an error unless allowPositional.
void process(QCommandLineParser &parser, const QStringList &arguments, bool allowPositional = false);
// The same before the application object exists (its kind may depend on
// the options): a help or error text is printed with a plain core
// application, which needs no display.
void processEarly(QCommandLineParser &parser, int &argc, char **argv);
// Prints "<program>: <message>" and the usage to standard error, exits 2.
[[noreturn]] void fail(const QCommandLineParser &parser, const QString &message);
}
