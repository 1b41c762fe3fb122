// The operator console on the real server object over a temporary site: the
// message tables, the operator password, controller and account edits with
// their refusals, the row colours and the exit path.
#include "consolesite.h"

#include "clients/clientaccounts.h"
#include "config/configtables.h"
#include "config/controllerstore.h"
#include "console/qdialogcontrollersetting.h"
#include "console/qdialogsetclient.h"
#include "console/qwidgetmain.h"
#include "core/cevent.h"
#include "core/servercontext.h"
#include "panels/cpanelmanager.h"
#include "tools/sim/birchpanelsim.h"

#include <QApplication>
#include <QComboBox>
#include <QInputDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QStandardItemModel>
#include <QTableView>
#include <QTableWidget>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

namespace {
// Fills the controller dialog and presses OK; the dialog's result tells
// whether it saved.
int fillController(QDialog *d, const QString &name, int type, int id, const QString &port)
{
    auto *c = qobject_cast<QDialogControllerSetting *>(d);
    if (!c)
        return QDialog::Rejected;
    c->findChild<QLineEdit *>("edtControlName")->setText(name);
    auto *types = c->findChild<QComboBox *>("m_combControlType");
    types->setCurrentIndex(types->findData(type));
    auto *ids = c->findChild<QComboBox *>("m_combControlID");
    if (ids->isEnabled())
        ids->setCurrentIndex(ids->findData(id));
    auto *ports = c->findChild<QComboBox *>("m_combComNumber");
    ports->setCurrentIndex(ports->findText(port));
    c->findChild<QPushButton *>("btnOK")->click();
    return c->result();
}

int storedRows()
{
    QSqlQuery q;
    q.exec(QStringLiteral("select count(*) from ServerControllerInfo"));
    return q.next() ? q.value(0).toInt() : -1;
}

CEvent stateEvent(quint8 id, int property)
{
    CEvent e;
    e.nPanelID = id;
    e.nEventCode = 17;
    e.nEventProperty = property;
    e.strTime = nowText();
    return e;
}
} // namespace

class TstQWidgetMain : public QObject
{
    Q_OBJECT

    ConsoleSite m_site;
    BirchSimPort m_sim;
    std::unique_ptr<QWidgetMain> m_w;

    template <typename T>
    T *child(const char *name) const { return m_w->findChild<T *>(QLatin1String(name)); }
    QTableWidget *controls() const { return child<QTableWidget>("tbControlList"); }
    QTableWidget *clients() const { return child<QTableWidget>("tbClientList"); }
    CPanelManager *manager() const { return m_w->server()->panelManager(); }

    void newWindow()
    {
        m_w.reset(new QWidgetMain(ConsoleSite::freePorts()));
        m_w->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_w.get()));
    }

    // Adds controller 5 on COM5 (the simulator) through the dialog.
    void addRunningController()
    {
        m_site.onDialog = [](QDialog *d) { return fillController(d, QStringLiteral("一号楼"), 22, 5, "COM5"); };
        child<QPushButton>("btnAddControl")->click();
        QVERIFY(manager()->isPanelConnected(5));
    }

    void selectController(int row) { controls()->selectRow(row); }

private slots:
    void initTestCase()
    {
        qApp->setQuitOnLastWindowClosed(false);
        QVERIFY(m_site.prepare({"COM5", "COM6"}));
        m_sim.sim().setId(5);
        QVERIFY2(m_sim.createPty(m_site.devicePath("COM5")), qPrintable(m_sim.errorText()));
    }

    void init()
    {
        m_site.prompts.clear();
        m_site.onDialog = nullptr;
        m_site.operatorPassword = QStringLiteral("pqz");
        m_site.passwordAsks = 0;
        m_site.questionAnswer = Prompt::Yes;
        m_site.resetAccounts();
        if (ControllerStore::isDatabaseOpen())
            QSqlQuery().exec(QStringLiteral("delete from ServerControllerInfo"));
        newWindow();
    }

    void cleanup()
    {
        m_w.reset();
        ServerContext::instance().isHaveUserType = false;
    }

    void windowShowsTheSiteAndTheFixedTexts()
    {
        QCOMPARE(m_w->windowTitle(), m_w->server()->title());
        QVERIFY(!m_w->windowIcon().isNull());
        QCOMPARE(m_w->font().family(), QStringLiteral("Arial"));
        auto *tabs = child<QTabWidget>("tabMain");
        QCOMPARE(tabs->count(), 3);
        QCOMPARE(tabs->tabText(0), QStringLiteral("控制器列表"));
        QCOMPARE(tabs->tabText(1), QStringLiteral("客户端列表"));
        QCOMPARE(tabs->tabText(2), QStringLiteral("日志信息"));
        QVERIFY(child<QPushButton>("btnTestControl")->isHidden());
        QVERIFY(child<QPushButton>("btnStartClient")->isHidden());
        const auto headers = [](QTableWidget *t) {
            QStringList h;
            for (int c = 0; c < t->columnCount(); ++c)
                h << t->horizontalHeaderItem(c)->text();
            return h;
        };
        QCOMPARE(headers(controls()), QStringList({"设备地址", "设备名称", "连接参数", "状态"}));
        QCOMPARE(headers(clients()), QStringList({"用户名", "类型", "状态"}));
        QCOMPARE(headers(child<QTableWidget>("tvLogReceiveList")),
                 QStringList({"信息类型 ", "控制器类型 ", "控制器号 ", "二次码 ", "事件类型 ", "时间", "备注"}));
    }

    void messageTablesKeepTheNewest1000Rows()
    {
        auto *view = child<QTableView>("tvLogList");
        for (int i = 1; i <= 1001; ++i)
            m_w->slotShowViewInTable(QStringLiteral("message %1").arg(i));
        QAbstractItemModel *model = view->model();
        QCOMPARE(model->rowCount(), 1000);
        QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("系统提示信息:message 1001"));
        QCOMPARE(model->index(999, 0).data().toString(), QStringLiteral("系统提示信息:message 2"));
        QCOMPARE(view->toolTip(), QStringLiteral("总行数:1000"));
        child<QPushButton>("pbClear")->click();
        QCOMPARE(model->rowCount(), 0);
        QCOMPARE(view->toolTip(), QStringLiteral("总行数:0"));

        auto *events = child<QTableWidget>("tvLogReceiveList");
        const int before = events->rowCount(); // the server's own notices
        for (int i = 1; i <= 1001; ++i) {
            CEvent e;
            e.nPanelID = 3;
            e.nPanelType = 22;
            e.nEventType = i % 2;
            e.nEventCode = 1;
            e.nEventProperty = 1;
            e.strCode = QStringLiteral("c%1").arg(i);
            e.strTime = QStringLiteral("2026-12-06 21:00:00");
            m_w->slotShowEventLog(e.toVariant());
        }
        QCOMPARE(events->rowCount(), 1000);
        QCOMPARE(events->item(0, 3)->text(), QStringLiteral("c1001"));
        QCOMPARE(events->item(999 - before, 3)->text(), QStringLiteral("c%1").arg(2 + before));
        QCOMPARE(events->toolTip(), QStringLiteral("总行数:1000"));
        const QStringList row0{events->item(0, 0)->text(), events->item(0, 1)->text(), events->item(0, 2)->text(),
                               events->item(0, 4)->text(), events->item(0, 5)->text(), events->item(0, 6)->text()};
        const QString name = ConfigTables::instance().entry(1).name;
        QVERIFY(!name.isEmpty());
        QCOMPARE(row0, QStringList({"设备事件", ConfigTables::instance().systemType(22).name, "3", name,
                                    "2026-12-06 21:00:00", "1"}));
        QCOMPARE(row0.at(1), QStringLiteral("火灾报警控制器(22型)"));
        QCOMPARE(events->item(1, 0)->text(), QStringLiteral("系统事件"));
    }

    void clientLinesGoToTheMessageList()
    {
        auto *model = child<QTableView>("tvLogList")->model();
        CEvent log;
        log.strTime = QStringLiteral("2026-12-06 21:10:11");
        log.strExtra = QStringLiteral("客户端登录成功!");
        m_w->slotShowLogFromClient(log.toVariant());
        QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("12-06 21:10:11客户端登录成功!"));
        CEvent quiet; // nothing to say: no line
        m_w->slotShowLogFromClient(quiet.toVariant());
        QCOMPARE(model->rowCount(), 1);

        CEvent sent;
        sent.nEventType = 1;
        sent.nEventCode = 1;
        sent.nEventProperty = 0;
        m_w->showSentDataToClient(sent.toVariant(), QStringLiteral("Com:1 PanelID:2 "));
        const QString line = model->index(0, 0).data().toString();
        QVERIFY2(line.contains(QStringLiteral(" Send-->Com:1 PanelID:2 EventType:")), qPrintable(line));
        QVERIFY2(line.endsWith(QStringLiteral("恢复")), qPrintable(line));
    }

    void passwordIsAskedAgainOnlyAfterTheGrace()
    {
        QVERIFY(m_w->verifyPassWord(QStringLiteral("test")));
        QCOMPARE(m_site.passwordAsks, 1);
        QCOMPARE(m_w->graceCount(), 10);
        for (int i = 0; i < 9; ++i)
            m_w->slotPassWordTick(); // 27 s
        QVERIFY(m_w->verifyPassWord(QStringLiteral("test")));
        QCOMPARE(m_site.passwordAsks, 1);
        QCOMPARE(m_w->graceCount(), 10); // a skipped prompt renews the grace
        for (int i = 0; i < 10; ++i)
            m_w->slotPassWordTick(); // 30 s
        QCOMPARE(m_w->graceCount(), 0);
        m_site.operatorPassword = QString(); // cancel
        QVERIFY(!m_w->verifyPassWord(QStringLiteral("test")));
        QCOMPARE(m_site.passwordAsks, 2);
        QVERIFY(!m_w->isPassWordVerified());
        QVERIFY(m_site.prompts.isEmpty());
    }

    void wrongPasswordIsRefused()
    {
        m_site.operatorPassword = QStringLiteral("PQZ");
        QVERIFY(!m_w->verifyPassWord(QStringLiteral("test")));
        QCOMPARE(m_site.promptTexts(), QStringList({"错误|请输入正确的密码!"}));
        QCOMPARE(m_site.prompts.first().icon, Prompt::Critical);
        QCOMPARE(m_w->graceCount(), 0);
        // A refused attempt stores nothing and starts no edit.
        child<QPushButton>("btnAddControl")->click();
        QCOMPARE(storedRows(), 0);
    }

    void addedControllerIsStoredAndStarted()
    {
        addRunningController();
        QSqlQuery q;
        QVERIFY(q.exec(QStringLiteral("select ControllerName, ControllerType, number, description, CommValue "
                                      "from ServerControllerInfo where ControllerID = 5")));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("一号楼"));
        QCOMPARE(q.value(1).toInt(), 22);
        QCOMPARE(q.value(2).toString(), QStringLiteral("5"));
        QCOMPARE(q.value(3).toString(), QStringLiteral("一号楼"));
        QCOMPARE(q.value(4).toString(), QStringLiteral("5"));
        QCOMPARE(controls()->rowCount(), 1);
        QCOMPARE(controls()->item(0, 0)->text(), QStringLiteral("5"));
        QCOMPARE(controls()->item(0, 2)->text(), QStringLiteral("COM5"));
        QCOMPARE(controls()->item(0, 3)->text(), QStringLiteral("启动"));
        // The driver talks to the simulated panel.
        QTRY_VERIFY_WITH_TIMEOUT(m_sim.bytesReceived() > 0, 10000);
        QVERIFY(m_site.prompts.isEmpty());
    }

    void duplicateNumberOrPortIsRefusedAndNothingStored()
    {
        addRunningController();
        m_site.onDialog = [](QDialog *d) { return fillController(d, QStringLiteral("二号楼"), 22, 5, "COM6"); };
        child<QPushButton>("btnAddControl")->click();
        m_site.onDialog = [](QDialog *d) { return fillController(d, QStringLiteral("三号楼"), 22, 6, "COM5"); };
        child<QPushButton>("btnAddControl")->click();
        QCOMPARE(m_site.promptTexts(), QStringList({"错误|该控制器号被占用，请选择其他控制器！",
                                                    "错误|该串口号被占用，请选择其他串口！"}));
        QCOMPARE(storedRows(), 1);
        QCOMPARE(manager()->controllerIds(), QList<quint8>({5}));
    }

    void runningControllerIsNotModifiedOrDeleted()
    {
        addRunningController();
        selectController(0);
        QCOMPARE(child<QPushButton>("btnStartControl")->text(), QStringLiteral("停止"));
        int dialogs = 0;
        m_site.onDialog = [&dialogs](QDialog *) { ++dialogs; return int(QDialog::Rejected); };
        child<QPushButton>("btnModifyControl")->click();
        child<QPushButton>("btnDeleteControl")->click();
        QCOMPARE(dialogs, 0);
        QCOMPARE(m_site.promptTexts(), QStringList({"警告|请先关闭控制器!", "警告|确定要删除该控制器?",
                                                    "警告|请先关闭控制器!"}));
        QCOMPARE(storedRows(), 1);
        QVERIFY(manager()->isPanelConnected(5));

        // Stopped, it can be modified (and stays stopped) and deleted.
        child<QPushButton>("btnStartControl")->click();
        QVERIFY(!manager()->isPanelConnected(5));
        QCOMPARE(controls()->item(0, 3)->text(), QStringLiteral("停止"));
        QCOMPARE(child<QPushButton>("btnStartControl")->text(), QStringLiteral("启动"));
        m_site.onDialog = [](QDialog *d) { return fillController(d, QStringLiteral("改名"), 22, 5, "COM5"); };
        selectController(0);
        child<QPushButton>("btnModifyControl")->click();
        QCOMPARE(controls()->item(0, 1)->text(), QStringLiteral("改名"));
        QSqlQuery q(QStringLiteral("select ControllerName from ServerControllerInfo where ControllerID = 5"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("改名"));
        QVERIFY(!manager()->isPanelConnected(5));
        m_site.prompts.clear();
        m_site.questionAnswer = Prompt::No;
        selectController(0);
        child<QPushButton>("btnDeleteControl")->click();
        QCOMPARE(storedRows(), 1);
        m_site.questionAnswer = Prompt::Yes;
        child<QPushButton>("btnDeleteControl")->click();
        QCOMPARE(storedRows(), 0);
        QVERIFY(manager()->controllerIds().isEmpty());
        QCOMPARE(controls()->rowCount(), 0);
    }

    void controllerThatCannotOpenIsShownStopped()
    {
        // COM6 maps onto a path where no device exists.
        m_site.onDialog = [](QDialog *d) { return fillController(d, QStringLiteral("车库"), 22, 6, "COM6"); };
        child<QPushButton>("btnAddControl")->click();
        QCOMPARE(storedRows(), 1);
        QVERIFY(!manager()->isPanelConnected(6));
        QCOMPARE(controls()->item(0, 3)->text(), QStringLiteral("停止"));
        QCOMPARE(controls()->item(0, 0)->background().color(), QColor(255, 255, 255));
        selectController(0);
        child<QPushButton>("btnStartControl")->click();
        QCOMPARE(m_site.promptTexts(), QStringList({"提示|打开失败!"}));
        QCOMPARE(controls()->item(0, 3)->text(), QStringLiteral("停止"));
        QCOMPARE(child<QPushButton>("btnStartControl")->text(), QStringLiteral("启动"));
    }

    void stateEventsColourOnlyTheirOwnRow()
    {
        addRunningController();
        const auto colours = [this] {
            QStringList c;
            for (int col = 0; col < controls()->columnCount(); ++col)
                c << controls()->item(0, col)->background().color().name();
            return c;
        };
        const QStringList before = colours();
        QCOMPARE(before.first(), QStringLiteral("#00ff00")); // running
        m_w->setControlListItemState(stateEvent(99, 1).toVariant());
        QCOMPARE(colours(), before);
        m_w->setControlListItemState(stateEvent(5, 1).toVariant());
        QCOMPARE(colours(), QStringList({"#ffff00", "#ffff00", "#ffff00", "#ffff00"}));
        ServerContext::instance().isHaveUserType = true;
        m_w->setControlListItemState(stateEvent(5, 1).toVariant());
        QCOMPARE(colours(), QStringList({"#ff0000", "#ff0000", "#ff0000", "#ff0000"}));
        m_w->setControlListItemState(stateEvent(5, 0).toVariant());
        QCOMPARE(colours(), QStringList({"#00ff00", "#00ff00", "#00ff00", "#00ff00"}));
    }

    void clientAccountsThroughTheDialog()
    {
        const auto addClient = [this](const QString &name) {
            m_site.onDialog = [name](QDialog *d) {
                auto *c = qobject_cast<QDialogSetClient *>(d);
                if (!c)
                    return int(QDialog::Rejected);
                c->findChild<QLineEdit *>("leClientName")->setText(name);
                c->findChild<QLineEdit *>("lePassWord")->setText("pw");
                c->findChild<QLineEdit *>("lePassWordConfirm")->setText("pw");
                c->findChild<QPushButton *>("btnOK")->click();
                return c->result();
            };
            child<QPushButton>("btnAddClient")->click();
        };
        addClient(QStringLiteral("centre"));
        addClient(QStringLiteral("desk"));
        addClient(QStringLiteral("centre"));
        QCOMPARE(m_site.promptTexts(), QStringList({"错误|该用户名占用，请选择其他用户！"}));
        // Without user types the account gets "Local".
        QCOMPARE(ClientAccounts::instance().account("centre").userType, QStringLiteral("Local"));
        QCOMPARE(clients()->rowCount(), 2);
        QCOMPARE(clients()->item(0, 0)->text(), QStringLiteral("centre"));
        QCOMPARE(clients()->item(0, 1)->text(), QStringLiteral("Local"));
        QCOMPARE(clients()->item(0, 2)->text(), QStringLiteral("未登录"));

        // A client logs in over the real listener.
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, m_w->server()->clientListener()->serverPort());
        QVERIFY(peer.waitForConnected(5000));
        const QJsonObject login{{"b", "LOGIN"}, {"t", "centre"}, {"u", "pw"}, {"s", ""}, {"r", ""}, {"q", 0}};
        peer.write(QJsonDocument(login).toJson(QJsonDocument::Compact));
        QTRY_COMPARE_WITH_TIMEOUT(clients()->item(0, 2)->text(), QStringLiteral("已登录"), 5000);
        QCOMPARE(clients()->item(0, 0)->background().color(), QColor(0, 255, 0));
        QCOMPARE(clients()->item(1, 0)->background().color(), QColor(255, 255, 255));

        clients()->setCurrentCell(1, 0);
        QVERIFY(child<QPushButton>("btnModifyClient")->isEnabled());
        QVERIFY(child<QPushButton>("btnDeleteClient")->isEnabled());
        clients()->setCurrentCell(0, 1);
        QVERIFY(!child<QPushButton>("btnModifyClient")->isEnabled());
        QVERIFY(!child<QPushButton>("btnDeleteClient")->isEnabled());
        clients()->setCurrentCell(0, 2); // same row: nothing changes
        QVERIFY(!child<QPushButton>("btnModifyClient")->isEnabled());

        // The client goes: its row is free again.
        peer.disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(clients()->item(0, 2)->text(), QStringLiteral("未登录"), 5000);
        clients()->setCurrentCell(1, 0);
        clients()->setCurrentCell(0, 0);
        QVERIFY(child<QPushButton>("btnDeleteClient")->isEnabled());
        m_site.prompts.clear();
        child<QPushButton>("btnDeleteClient")->click();
        QCOMPARE(m_site.promptTexts(), QStringList({"警告|确实要删除该客户端？"}));
        QVERIFY(!ClientAccounts::instance().contains("centre"));
        QCOMPARE(clients()->rowCount(), 1);
    }

    void operatorPasswordChange()
    {
        QStringList answers{"new-pw", "new-pw"};
        m_site.onDialog = [&answers](QDialog *d) {
            auto *input = qobject_cast<QInputDialog *>(d);
            if (!input || answers.isEmpty())
                return int(QDialog::Rejected);
            input->setTextValue(answers.takeFirst());
            return int(QDialog::Accepted);
        };
        m_w->changePassWord();
        QCOMPARE(m_site.promptTexts(), QStringList({"更改密码|密码更改成功,请记住您的新密码!"}));
        ClientAccounts::instance().load();
        QCOMPARE(ClientAccounts::instance().operatorPassword(), QStringLiteral("new-pw"));

        m_site.prompts.clear();
        answers = QStringList{"one", "two"};
        m_w->changePassWord(); // within the grace: not asked again
        QCOMPARE(m_site.passwordAsks, 1);
        answers = QStringList{""};
        m_w->changePassWord();
        QCOMPARE(m_site.promptTexts(), QStringList({"更改失败|两次输入的密码不相同,不能更改密码!",
                                                    "取消更改|您未输入新密码,取消更改!"}));
        QCOMPARE(ClientAccounts::instance().operatorPassword(), QStringLiteral("new-pw"));
    }

    void logTabAsksWithUserTypes()
    {
        auto *tabs = child<QTabWidget>("tabMain");
        tabs->setCurrentIndex(2); // user types off: no question
        QCOMPARE(tabs->currentIndex(), 2);
        QCOMPARE(m_site.passwordAsks, 0);
        tabs->setCurrentIndex(0);
        ServerContext::instance().isHaveUserType = true;
        m_site.operatorPassword = QString();
        tabs->setCurrentIndex(2);
        QCOMPARE(tabs->currentIndex(), 0);
        m_site.operatorPassword = QStringLiteral("pqz");
        tabs->setCurrentIndex(2);
        QCOMPARE(tabs->currentIndex(), 2);
        QCOMPARE(m_site.passwordAsks, 2);
    }

    void exitNeedsThePasswordAndStoresOpenStates()
    {
        addRunningController();
        for (int i = 0; i < 10; ++i)
            m_w->slotPassWordTick();
        m_site.operatorPassword = QStringLiteral("wrong");
        QVERIFY(!m_w->close());
        QVERIFY(m_w->isVisible());
        QVERIFY(m_w->server()->isRunning());
        m_site.operatorPassword = QStringLiteral("pqz");
        QVERIFY(m_w->close());
        QVERIFY(!m_w->server()->isRunning());
        QVERIFY(!manager()->isPanelConnected(5));
        QSqlQuery q(QStringLiteral("select IsOpenBefore from ServerControllerInfo where ControllerID = 5"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("1"));
    }
};

QTEST_MAIN(TstQWidgetMain)
#include "tst_qwidgetmain.moc"
