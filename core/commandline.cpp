#include "core/commandline.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>

void CommandLine::fail(const QCommandLineParser &parser, const QString &message)
{
    const QString program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    std::fprintf(stderr, "%s: %s\n\n%s", qPrintable(program), qPrintable(message),
                 qPrintable(parser.helpText()));
    std::exit(2);
}

void CommandLine::process(QCommandLineParser &parser, const QStringList &arguments, bool allowPositional)
{
    if (!parser.parse(arguments))
        fail(parser, parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (!allowPositional && !parser.positionalArguments().isEmpty())
        fail(parser, QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));
}

void CommandLine::processEarly(QCommandLineParser &parser, int &argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (parser.parse(arguments) && !parser.isSet(QStringLiteral("help"))
        && parser.positionalArguments().isEmpty())
        return;
    QCoreApplication plain(argc, argv);
    process(parser, plain.arguments());
}
