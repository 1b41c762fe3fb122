#pragma once
// A temporary copy of the sample site for console tests, with COM names
// mapped onto paths in the same directory, and the seams the console offers
// tests: recorded prompts and dialogs answered in code.

#include "clients/clientaccounts.h"
#include "console/dialogrunner.h"
#include "console/qdialoggetpassword.h"
#include "core/apppaths.h"
#include "core/prompt.h"
#include "core/servercontext.h"
#include "server/fireserver.h"

#include <QDialog>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <algorithm>
#include <functional>

#if defined(__SANITIZE_ADDRESS__)
// Qt's offscreen plugin leaks its screen at exit, a report suppressed in
// scripts/sanitizers/lsan.supp by a frame deep inside Qt. Qt is built
// without frame pointers, so only the slow unwinder records that frame.
extern "C" const char *__asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}
#endif

struct ConsoleSite
{
    // Every listening port free (port 0): no fixed-port lock needed.
    static FireServer::Options freePorts()
    {
        FireServer::Options options;
        options.clientPort = 0;
        options.centrePort = 0;
        options.queryPort = 0;
        return options;
    }

    QTemporaryDir dir;
    QList<Prompt::Request> prompts;
    Prompt::Answer questionAnswer = Prompt::Yes;
    // Answers every dialog the console runs; returns its result code.
    std::function<int(QDialog *)> onDialog;
    QString operatorPassword = QStringLiteral("pqz");
    int passwordAsks = 0;

    // Copies the sample site and maps each COM name onto dir/<lower-case name>.
    bool prepare(const QStringList &comNames)
    {
        if (!dir.isValid())
            return false;
        for (const char *name : {"EventConfig.xml", "SysSet.xml", "config.ini"}) {
            if (!QFile::copy(QStringLiteral(FIRE_SOURCE_DIR "/site/") + name, dir.filePath(name)))
                return false;
        }
        // [SerialPorts] is the last group of the sample file; its own
        // mappings of the names we map are dropped.
        QFile ini(dir.filePath("config.ini"));
        if (!ini.open(QIODevice::ReadWrite))
            return false;
        QList<QByteArray> lines = ini.readAll().split('\n');
        for (const QString &com : comNames) {
            lines.erase(std::remove_if(lines.begin(), lines.end(), [&com](const QByteArray &l) {
                            return l.trimmed().toUpper().startsWith(com.toLatin1() + '=');
                        }), lines.end());
        }
        for (const QString &com : comNames)
            lines << QStringLiteral("%1=%2").arg(com, devicePath(com)).toUtf8();
        ini.resize(0);
        ini.write(lines.join('\n') + '\n');
        ini.close();
        AppPaths::setAppDir(dir.path());
        ServerContext::instance().loadIni();
        Prompt::setHandler([this](const Prompt::Request &r) {
            prompts << r;
            return r.icon == Prompt::Question ? questionAnswer : r.defaultAnswer;
        });
        DialogRunner::setRunner([this](QDialog *d) {
            if (auto *pw = qobject_cast<QDialogGetPassWord *>(d)) {
                ++passwordAsks;
                if (operatorPassword.isNull())
                    return int(QDialog::Rejected);
                pw->findChild<QLineEdit *>("lePassWord")->setText(operatorPassword);
                pw->findChild<QPushButton *>("pbOK")->click();
                return pw->result();
            }
            return onDialog ? onDialog(d) : int(QDialog::Rejected);
        });
        return true;
    }

    QString devicePath(const QString &com) const { return dir.filePath(com.toLower()); }

    // A fresh start: no account file, so the operator password is "pqz".
    void resetAccounts()
    {
        QFile::remove(dir.filePath("FireServerInfo.cfg"));
        ClientAccounts::instance().clear();
    }

    QStringList promptTexts() const
    {
        QStringList texts;
        for (const Prompt::Request &r : prompts)
            texts << r.title + QLatin1Char('|') + r.text;
        return texts;
    }

    ~ConsoleSite()
    {
        DialogRunner::setRunner({});
        Prompt::setHandler({});
    }
};
