// The console's dialogs and its serial-port list, without a server.
#include "console/qdialoggetpassword.h"
#include "console/qdialogsetclient.h"
#include "console/serialportlist.h"
#include "core/apppaths.h"
#include "core/prompt.h"
#include "core/servercontext.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

class TstConsoleDialogs : public QObject
{
    Q_OBJECT

    QList<Prompt::Request> m_prompts;

private slots:
    void init()
    {
        m_prompts.clear();
        Prompt::setHandler([this](const Prompt::Request &r) {
            m_prompts << r;
            return r.defaultAnswer;
        });
        ServerContext::instance().isHaveUserType = false;
    }
    void cleanup() { Prompt::setHandler({}); }

    void passwordDialogAcceptsAndRejects()
    {
        QDialogGetPassWord d;
        d.setCaption(QStringLiteral("退出权限验证"));
        QCOMPARE(d.findChild<QLabel *>("lbCaption")->text(), QStringLiteral("退出权限验证"));
        QCOMPARE(d.findChild<QLabel *>("lbPassWord")->text(), QStringLiteral("密码:"));
        auto *edit = d.findChild<QLineEdit *>("lePassWord");
        QCOMPARE(edit->echoMode(), QLineEdit::Password);
        QCOMPARE(d.font().family(), QStringLiteral("Arial"));
        edit->setText(QStringLiteral("secret"));
        QTest::mouseClick(d.findChild<QPushButton *>("pbOK"), Qt::LeftButton);
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(d.passWord(), QStringLiteral("secret"));

        QDialogGetPassWord d2;
        QTest::mouseClick(d2.findChild<QPushButton *>("pbCancel"), Qt::LeftButton);
        QCOMPARE(d2.result(), int(QDialog::Rejected));
    }

    void clientDialogWithoutUserTypesStoresLocal()
    {
        QDialogSetClient d(true);
        QCOMPARE(d.windowTitle(), QStringLiteral("用户设置"));
        auto *type = d.findChild<QComboBox *>("combClientType");
        QVERIFY(type->isHidden());
        QVERIFY(d.findChild<QLabel *>("lbClientType")->isHidden());
        QCOMPARE(type->count(), 3);
        QCOMPARE(type->itemText(0), QStringLiteral("Local"));
        QCOMPARE(type->itemData(0).toInt(), 1);
        QCOMPARE(type->itemText(1), QStringLiteral("Remote"));
        QCOMPARE(type->itemData(1).toInt(), 2);
        QCOMPARE(type->itemText(2), QStringLiteral("API"));
        QCOMPARE(type->itemData(2).toInt(), 3);
        QCOMPARE(d.findChild<QLineEdit *>("lePassWordConfirm")->echoMode(), QLineEdit::Password);

        d.findChild<QLineEdit *>("leClientName")->setText(QStringLiteral("centre"));
        d.findChild<QLineEdit *>("lePassWord")->setText(QStringLiteral("pw"));
        d.findChild<QLineEdit *>("lePassWordConfirm")->setText(QStringLiteral("pw"));
        QTest::mouseClick(d.findChild<QPushButton *>("btnOK"), Qt::LeftButton);
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(d.userName(), QStringLiteral("centre"));
        QCOMPARE(d.passWord(), QStringLiteral("pw"));
        QCOMPARE(d.userType(), QStringLiteral("Local"));
        QVERIFY(m_prompts.isEmpty());
    }

    void clientDialogRefusesDifferentPasswords()
    {
        ServerContext::instance().isHaveUserType = true;
        QDialogSetClient d(false, QStringLiteral("api"), QStringLiteral("old"), QStringLiteral("API"));
        auto *name = d.findChild<QLineEdit *>("leClientName");
        QCOMPARE(name->text(), QStringLiteral("api"));
        QVERIFY(!name->isEnabled());
        QVERIFY(!d.findChild<QComboBox *>("combClientType")->isHidden());
        QCOMPARE(d.findChild<QComboBox *>("combClientType")->currentText(), QStringLiteral("API"));
        d.findChild<QLineEdit *>("lePassWord")->setText(QStringLiteral("a"));
        d.findChild<QLineEdit *>("lePassWordConfirm")->setText(QStringLiteral("b"));
        QTest::mouseClick(d.findChild<QPushButton *>("btnOK"), Qt::LeftButton);
        QCOMPARE(d.result(), int(QDialog::Rejected));
        QCOMPARE(m_prompts.size(), 1);
        QCOMPARE(m_prompts.first().icon, Prompt::Warning);
        QCOMPARE(m_prompts.first().title, QStringLiteral("错误"));
        QCOMPARE(m_prompts.first().text, QStringLiteral("两次输入密码不一致，请重新检查输入!"));
        QVERIFY(d.userName().isEmpty());
    }

    // What the operator sees: each dialog rendered to build/ for a look.
    void dialogsRender()
    {
        ServerContext::instance().isHaveUserType = true;
        QDialogGetPassWord pw;
        pw.setWindowTitle(QStringLiteral("密码验证"));
        pw.setCaption(QStringLiteral("请输入操作员现有密码"));
        QDialogSetClient client(true);
        const QList<QPair<QWidget *, QString>> shots{{&pw, "console-password.png"}, {&client, "console-client.png"}};
        for (const auto &shot : shots) {
            shot.first->show();
            QVERIFY(QTest::qWaitForWindowExposed(shot.first));
            const QImage img = shot.first->grab().toImage();
            QVERIFY(img.width() >= 300);
            QVERIFY(img.save(QStringLiteral(FIRE_BINARY_DIR "/") + shot.second));
        }
    }

    void portListFallsBackToFourPorts()
    {
        const QStringList four{"COM1", "COM2", "COM3", "COM4"};
        QCOMPARE(SerialPortList::portNames({}, {}), four);
        // Devices without a COM name do not count as found.
        QCOMPARE(SerialPortList::portNames({}, {"/dev/ttyUSB0", "/dev/ttyACM3"}), four);
    }

    void portListNamesDevicesAndMappings()
    {
        const QMap<QString, QString> mapped{{"COM7", "/dev/ttyUSB0"}, {"com12", "/tmp/pty-a"}, {"Printer", "/dev/lp0"}};
        const QStringList devices{"/dev/ttyS0", "/dev/ttyS3", "/dev/ttyUSB0", "/dev/ttyS3", "/dev/ttyACM0"};
        QCOMPARE(SerialPortList::portNames(mapped, devices),
                 QStringList({"COM1", "COM4", "COM7", "COM12"}));
    }

    void portListReadsTheSiteMapping()
    {
        QTemporaryDir dir;
        QFile ini(dir.filePath("config.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[SerialPorts]\nCOM3=/tmp/none-a\nCOM2=run/none-b\n");
        ini.close();
        const QString old = AppPaths::appDir();
        AppPaths::setAppDir(dir.path());
        ServerContext::instance().loadIni();
        const QMap<QString, QString> mapped = SerialPortList::mappedPorts();
        QCOMPARE(mapped.value("COM3"), QStringLiteral("/tmp/none-a"));
        QCOMPARE(mapped.value("COM2"), dir.filePath("run/none-b"));
        QCOMPARE(SerialPortList::portNames(mapped, {}), QStringList({"COM2", "COM3"}));
        ServerContext::instance().loadIni(dir.filePath("missing.ini"));
        QVERIFY(SerialPortList::mappedPorts().isEmpty());
        AppPaths::setAppDir(old);
    }
};

QTEST_MAIN(TstConsoleDialogs)
#include "tst_consoledialogs.moc"
