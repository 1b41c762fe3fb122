// The controller settings dialog against a real settings database and the
// sample site's system types: its lists, the refusals of the store's rules,
// what it writes, and that a failed statement is told to the operator.
#include "consolesite.h"

#include "config/configtables.h"
#include "config/controllerstore.h"
#include "console/qdialogcontrollersetting.h"
#include "console/serialportlist.h"
#include "core/servercontext.h"
#include "panels/panelmodel.h"

#include <QComboBox>
#include <QSettings>
#include <QSqlQuery>
#include <QStackedWidget>
#include <QTableWidget>
#include <QtTest>

class TstControllerDialog : public QObject
{
    Q_OBJECT
    ConsoleSite m_site;
    QTableWidget m_table{0, 4};

    void addRow(int id, const QString &comm)
    {
        const int r = m_table.rowCount();
        m_table.insertRow(r);
        m_table.setItem(r, 0, new QTableWidgetItem(QString::number(id)));
        m_table.setItem(r, 2, new QTableWidgetItem(comm));
    }
    static QComboBox *combo(QDialog &d, const char *name) { return d.findChild<QComboBox *>(name); }
    static void choose(QDialogControllerSetting &d, int type, int id)
    {
        combo(d, "m_combControlType")->setCurrentIndex(combo(d, "m_combControlType")->findData(type));
        combo(d, "m_combControlID")->setCurrentIndex(combo(d, "m_combControlID")->findData(id));
    }
    static bool pressOk(QDialogControllerSetting &d)
    {
        d.findChild<QPushButton *>("btnOK")->click();
        return d.result() == QDialog::Accepted;
    }
    static QString storedComm(int id)
    {
        QSqlQuery q(QStringLiteral("select CommValue from ServerControllerInfo where ControllerID = %1").arg(id));
        return q.next() ? q.value(0).toString() : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_site.prepare({"COM3"}));
        QVERIFY(ConfigTables::instance().loadSystemTypes());
        QVERIFY(ControllerStore::openDatabase(ControllerStore::selectDatabaseFile()));
    }
    void init()
    {
        m_site.prompts.clear();
        m_table.setRowCount(0);
        QSqlQuery().exec(QStringLiteral("delete from ServerControllerInfo"));
    }

    void portListWithNothingFound()
    {
        // No device and no mapping: COM1..COM4; with the site's mapping, COM3 too.
        SerialPortList::setDeviceLister([] { return QStringList(); });
        QFile::rename(m_site.dir.filePath("config.ini"), m_site.dir.filePath("config.ini.keep"));
        QDialogControllerSetting bare(&m_table, nullptr);
        QFile::rename(m_site.dir.filePath("config.ini.keep"), m_site.dir.filePath("config.ini"));
        QDialogControllerSetting mapped(&m_table, nullptr);
        SerialPortList::setDeviceLister({});
        QStringList names;
        for (int i = 0; i < combo(bare, "m_combComNumber")->count(); ++i)
            names << combo(bare, "m_combComNumber")->itemText(i);
        QCOMPARE(names, QStringList({"COM1", "COM2", "COM3", "COM4"}));
        QVERIFY(combo(mapped, "m_combComNumber")->findText("COM3") >= 0);
        QCOMPARE(combo(mapped, "m_combControlID")->count(), 255);
    }

    void networkControllers()
    {
        addRow(9, QStringLiteral("127.0.0.1:9002"));
        QDialogControllerSetting d(&m_table, nullptr);
        choose(d, 240, 9);
        QCOMPARE(d.findChild<QStackedWidget *>("stackedWidget")->currentIndex(), 1);
        QVERIFY(!pressOk(d)); // the default address and port are taken: told before the number
        auto *port = d.findChild<QLineEdit *>("lePort");
        for (const char *bad : {"0", "65536", "abc"}) {
            port->setText(bad);
            QVERIFY(!pressOk(d));
        }
        QCOMPARE(m_site.promptTexts(), QStringList({"错误|该IP地址被占用，请选择其他地址！", "错误|请输入正确的端口号!",
                                                    "错误|请输入正确的端口号!", "错误|请输入正确的端口号!"}));
        QVERIFY(storedComm(9).isEmpty());
        m_table.setRowCount(0);
        port->setText("65535");
        QVERIFY(pressOk(d));
        QCOMPARE(storedComm(9), QStringLiteral("0/127.0.0.1:65535"));
        // The chosen interface is written back as NetName.
        const QString net = combo(d, "cmbNet")->currentText();
        QCOMPARE(QSettings(m_site.dir.filePath("config.ini"), QSettings::IniFormat).value("System/NetName").toString(), net);
        QCOMPARE(ServerContext::instance().netName, net);
    }

    void modifyKeepsItsOwnNumberAndPort()
    {
        QVERIFY(ControllerStore::insertController(4, QStringLiteral("old"), 22, QStringLiteral("7")));
        addRow(3, QStringLiteral("COM3"));
        addRow(4, QStringLiteral("COM7"));
        const ControllerInfo info = ControllerStore::decodeRow(4, QStringLiteral("old"), 22, QStringLiteral("7"),
                                                               &PanelModels::isNetworkType);
        QDialogControllerSetting d(&m_table, &info);
        QVERIFY(!combo(d, "m_combControlID")->isEnabled());
        // COM7 is not on this machine, yet it stays the controller's port.
        QCOMPARE(combo(d, "m_combComNumber")->currentText(), QStringLiteral("COM7"));
        d.findChild<QLineEdit *>("edtControlName")->setText(QStringLiteral("new"));
        QVERIFY(pressOk(d));
        QSqlQuery q(QStringLiteral("select ControllerName, CommValue from ServerControllerInfo where ControllerID = 4"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString() + q.value(1).toString(), QStringLiteral("new7"));
        // Another row's port is still refused.
        QDialogControllerSetting d2(&m_table, &info);
        combo(d2, "m_combComNumber")->setCurrentIndex(combo(d2, "m_combComNumber")->findText("COM3"));
        QVERIFY(!pressOk(d2));
        QCOMPARE(m_site.promptTexts(), QStringList({"错误|该串口号被占用，请选择其他串口！"}));
    }

    void failedStatementIsToldAndTheDialogStays()
    {
        // The table already holds number 8 though the list does not show it.
        QVERIFY(ControllerStore::insertController(8, QStringLiteral("hidden"), 22, QStringLiteral("1")));
        QDialogControllerSetting d(&m_table, nullptr);
        choose(d, 22, 8);
        QVERIFY(!pressOk(d));
        QCOMPARE(m_site.prompts.size(), 1);
        QCOMPARE(m_site.prompts.first().title, QStringLiteral("错误"));
        QCOMPARE(m_site.prompts.first().icon, Prompt::Warning);
    }
};

QTEST_MAIN(TstControllerDialog)
#include "tst_controllerdialog.moc"
