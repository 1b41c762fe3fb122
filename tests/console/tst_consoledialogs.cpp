// The console's password and client dialogs and its serial-port list,
// without a server.
#include "console/qdialoggetpassword.h"
#include "console/qdialogsetclient.h"
#include "console/serialportlist.h"
#include "core/prompt.h"
#include "core/servercontext.h"
#include "common/testfiles.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

class TstConsoleDialogs : public QObject
{
    Q_OBJECT
    QStringList m_prompts;

private slots:
    void init()
    {
        m_prompts.clear();
        Prompt::setHandler([this](const Prompt::Request &r) {
            m_prompts << r.title + '|' + r.text;
            return r.defaultAnswer;
        });
    }
    void cleanup() { Prompt::setHandler({}); }

    void passwordDialog()
    {
        QDialogGetPassWord d;
        d.findChild<QLineEdit *>("lePassWord")->setText(QStringLiteral("secret"));
        QTest::mouseClick(d.findChild<QPushButton *>("pbOK"), Qt::LeftButton);
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(d.passWord(), QStringLiteral("secret"));
        QDialogGetPassWord d2;
        QTest::mouseClick(d2.findChild<QPushButton *>("pbCancel"), Qt::LeftButton);
        QCOMPARE(d2.result(), int(QDialog::Rejected));
    }

    void clientDialog()
    {
        // Without user types the type is hidden and "Local" is stored.
        ServerContext::instance().isHaveUserType = false;
        QDialogSetClient d(true);
        QVERIFY(d.findChild<QComboBox *>("combClientType")->isHidden());
        d.findChild<QLineEdit *>("leClientName")->setText(QStringLiteral("centre"));
        d.findChild<QLineEdit *>("lePassWord")->setText(QStringLiteral("pw"));
        d.findChild<QLineEdit *>("lePassWordConfirm")->setText(QStringLiteral("pw"));
        QTest::mouseClick(d.findChild<QPushButton *>("btnOK"), Qt::LeftButton);
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(d.userName() + d.passWord() + d.userType(), QStringLiteral("centrepwLocal"));

        // Modifying with user types: the name is fixed, different passwords are refused.
        ServerContext::instance().isHaveUserType = true;
        QDialogSetClient m(false, QStringLiteral("api"), QStringLiteral("old"), QStringLiteral("API"));
        QVERIFY(!m.findChild<QLineEdit *>("leClientName")->isEnabled());
        QCOMPARE(m.findChild<QComboBox *>("combClientType")->currentText(), QStringLiteral("API"));
        m.findChild<QLineEdit *>("lePassWord")->setText(QStringLiteral("a"));
        m.findChild<QLineEdit *>("lePassWordConfirm")->setText(QStringLiteral("b"));
        QTest::mouseClick(m.findChild<QPushButton *>("btnOK"), Qt::LeftButton);
        QCOMPARE(m.result(), int(QDialog::Rejected));
        QCOMPARE(m_prompts, QStringList{QStringLiteral("错误|两次输入密码不一致，请重新检查输入!")});
        ServerContext::instance().isHaveUserType = false;
    }

    void portList()
    {
        // Nothing found (devices without a COM name do not count): COM1..COM4.
        QCOMPARE(SerialPortList::portNames({}, {"/dev/ttyUSB0", "/dev/ttyACM3"}), QStringList({"COM1", "COM2", "COM3", "COM4"}));
        const QMap<QString, QString> mapped{{"COM7", "/dev/ttyUSB0"}, {"com12", "/tmp/pty-a"}, {"Printer", "/dev/lp0"}};
        QCOMPARE(SerialPortList::portNames(mapped, {"/dev/ttyS0", "/dev/ttyS3", "/dev/ttyUSB0", "/dev/ttyS3", "/dev/ttyACM0"}),
                 QStringList({"COM1", "COM4", "COM7", "COM12"}));
        // The site's mapping, relative paths from the site directory.
        QTemporaryDir dir;
        QVERIFY(TestFiles::write(dir.filePath("config.ini"), "[SerialPorts]\nCOM3=/tmp/none-a\nCOM2=run/none-b\n"));
        const QMap<QString, QString> site = SerialPortList::mappedPorts(dir.filePath("config.ini"));
        QCOMPARE(site.value("COM2"), dir.filePath("run/none-b"));
        QCOMPARE(SerialPortList::portNames(site, {}), QStringList({"COM2", "COM3"}));
        QVERIFY(SerialPortList::mappedPorts(dir.filePath("missing.ini")).isEmpty());
    }
};

QTEST_MAIN(TstConsoleDialogs)
#include "tst_consoledialogs.moc"
