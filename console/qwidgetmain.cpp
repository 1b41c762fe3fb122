// The console's views: construction, the message tables, the event view,
// the operator password and the tab guard. The operator's actions on
// controllers and accounts are in qwidgetmain_actions.cpp.
#include "console/qwidgetmain.h"

#include "ui_qwidgetmain.h"

#include "clients/cclient.h"
#include "clients/clientaccounts.h"
#include "config/configtables.h"
#include "console/dialogrunner.h"
#include "console/paddeddelegate.h"
#include "console/qdialoggetpassword.h"
#include "core/cevent.h"
#include "server/fireserver.h"
#include "core/prompt.h"
#include "core/servercontext.h"

#include <QDateTime>
#include <QDebug>
#include <QHeaderView>
#include <QIcon>
#include <QInputDialog>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTimer>

// Outside any namespace: the macro declares the registration function.
static void initResources()
{
    // The icon lives in the static core library; its resources must be
    // registered by name or the linker may drop them. Once per process.
    static const bool registered = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(registered)
}

namespace {

QTableWidgetItem *cell(const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    return item;
}
} // namespace

QWidgetMain::QWidgetMain(const FireServer::Options &options, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::QWidgetMain)
{
    initResources();
    ui->setupUi(this);
    setupViews();
    m_pPassWordTimer = new QTimer(this);
    m_pPassWordTimer->setInterval(GraceTickMs);
    connect(m_pPassWordTimer, &QTimer::timeout, this, &QWidgetMain::slotPassWordTick);
    m_pPassWordTimer->start();

    // The widgets exist first; the server then builds every component in its
    // order and attaches this window's slots after the dispatcher's.
    m_pServer = new FireServer(options);
    connect(m_pServer, &FireServer::clientConnected, this, &QWidgetMain::slotRefreshUserView);
    if (!m_pServer->start(this))
        return; // another server runs: the caller ends the process
    if (!m_pServer->title().isEmpty())
        setWindowTitle(m_pServer->title());
    refreshControlTable();
    slotRefreshUserView();
}

QWidgetMain::~QWidgetMain()
{
    // The server's shutdown closes the drivers, whose last events still
    // reach this window's views: it must go while they exist.
    delete m_pServer;
    m_pServer = nullptr;
    delete ui;
}

void QWidgetMain::setupViews()
{
    setWindowIcon(QIcon(QStringLiteral(":/img/img/Kel16.png")));
    ui->btnTestControl->hide();
    ui->btnStartClient->hide();
    ui->btnModifyClient->setEnabled(false);
    ui->btnDeleteClient->setEnabled(false);

    const auto tidy = [](QTableView *view, int rowHeight) {
        view->setItemDelegate(new PaddedDelegate(view));
        view->horizontalHeader()->setFont(view->font());
        view->horizontalHeader()->setFixedHeight(30);
        view->verticalHeader()->setDefaultSectionSize(rowHeight);
        view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        view->horizontalHeader()->setHighlightSections(false);
        view->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        view->horizontalHeader()->setMinimumSectionSize(60);
    };
    tidy(ui->tbControlList, 28);
    tidy(ui->tbClientList, 28);
    tidy(ui->tvLogReceiveList, 26);
    const QList<int> controlWidths{110, 260, 240};
    for (int c = 0; c < controlWidths.size(); ++c)
        ui->tbControlList->setColumnWidth(c, controlWidths.at(c));
    const QList<int> clientWidths{240, 180};
    for (int c = 0; c < clientWidths.size(); ++c)
        ui->tbClientList->setColumnWidth(c, clientWidths.at(c));
    const QList<int> eventWidths{96, 210, 84, 130, 120, 170};
    for (int c = 0; c < eventWidths.size(); ++c)
        ui->tvLogReceiveList->setColumnWidth(c, eventWidths.at(c));

    m_pLogModel = new QStandardItemModel(0, 1, this);
    ui->tvLogList->setModel(m_pLogModel);
    ui->tvLogList->setItemDelegate(new PaddedDelegate(ui->tvLogList));
    ui->tvLogList->horizontalHeader()->hide();
    ui->tvLogList->verticalHeader()->setDefaultSectionSize(30);
    ui->tvLogList->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ui->tvLogList->setShowGrid(false);
    ui->tvLogList->setAlternatingRowColors(true);
    ui->tvLogList->setToolTip(tr("总行数:0"));
    ui->tvLogReceiveList->setToolTip(tr("总行数:0"));
    ui->tvLogReceiveList->setAlternatingRowColors(true);
    ui->splitterLog->setStretchFactor(0, 2);
    ui->splitterLog->setStretchFactor(1, 3);

    // The operator password can be changed from every tab.
    auto *change = new QPushButton(tr("修改密码"), ui->tabMain);
    change->setObjectName(QStringLiteral("btnChangePassWord"));
    change->setFlat(true);
    change->setCursor(Qt::PointingHandCursor);
    ui->tabMain->setCornerWidget(change, Qt::TopRightCorner);
    connect(change, &QPushButton::clicked, this, &QWidgetMain::changePassWord);
}

// --- message tables ---------------------------------------------------------

void QWidgetMain::addLogLine(const QString &strLine)
{
    auto *item = new QStandardItem(strLine);
    item->setEditable(false);
    item->setToolTip(strLine);
    m_pLogModel->insertRow(0, item);
    if (m_pLogModel->rowCount() > MaxMessageRows)
        m_pLogModel->removeRow(MaxMessageRows);
    ui->tvLogList->setToolTip(tr("总行数:") + QString::number(m_pLogModel->rowCount()));
}

void QWidgetMain::capRows(QTableWidget *table)
{
    if (table->rowCount() > MaxMessageRows)
        table->removeRow(MaxMessageRows);
    table->setToolTip(tr("总行数:") + QString::number(table->rowCount()));
}

void QWidgetMain::slotShowViewInTable(QString strView)
{
    addLogLine(tr("系统提示信息:") + strView);
}

void QWidgetMain::slotShowEventLog(const CEvent &e)
{
    const ConfigTables &tables = ConfigTables::instance();
    QTableWidget *t = ui->tvLogReceiveList;
    t->insertRow(0);
    t->setItem(0, 0, cell(e.nEventType != 0 ? tr("设备事件") : tr("系统事件")));
    t->setItem(0, 1, cell(tables.systemType(e.nPanelType).name));
    t->setItem(0, 2, cell(QString::number(e.nPanelID)));
    t->setItem(0, 3, cell(e.strCode));
    t->setItem(0, 4, cell(e.strEventName));
    t->setItem(0, 5, cell(e.strTime));
    t->setItem(0, 6, cell(QString::number(e.nEventProperty)));
    capRows(t);
}

void QWidgetMain::showSentDataToClient(QVariant sendData, QString strData)
{
    const CEvent e = CEvent::fromVariant(sendData);
    QString name = e.strEventName;
    if (name.isEmpty())
        name = QString::number(e.nEventType);
    QString line = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                 + QStringLiteral(" Send-->") + strData.trimmed() + QStringLiteral(" EventType:") + name;
    if (e.nEventProperty == 0)
        line += tr("恢复");
    addLogLine(line);
}

void QWidgetMain::slotShowLogFromClient(const CEvent &e)
{
    if (e.strExtra.isEmpty() && e.nEventProperty == 0)
        return;
    addLogLine(e.strTime.right(14) + e.strExtra);
}

void QWidgetMain::on_pbClear_clicked()
{
    m_pLogModel->removeRows(0, m_pLogModel->rowCount());
    ui->tvLogList->setToolTip(tr("总行数:0"));
}

// --- controller row colours ---------------------------------------------------

void QWidgetMain::setControlListItemState(const CEvent &e)
{
    QTableWidget *t = ui->tbControlList;
    for (int r = 0; r < t->rowCount(); ++r) {
        const QTableWidgetItem *id = t->item(r, 0);
        if (!id || id->text() != QString::number(e.nPanelID))
            continue;
        const QColor colour = e.nEventProperty == 0 ? QColor(Qt::green)
                            : ServerContext::instance().isHaveUserType ? QColor(Qt::red)
                                                                       : QColor(Qt::yellow);
        for (int c = 0; c < t->columnCount(); ++c) {
            if (QTableWidgetItem *item = t->item(r, c))
                item->setBackground(colour);
        }
    }
}

// --- operator password ------------------------------------------------------

bool QWidgetMain::verifyPassWord(const QString &strCaption)
{
    if (m_nGraceCount != 0) {
        m_nGraceCount = GraceTicks;
        m_bPassWordOk = true;
        return true;
    }
    QDialogGetPassWord dialog(this);
    dialog.setWindowTitle(tr("密码验证"));
    dialog.setCaption(strCaption);
    if (DialogRunner::run(&dialog) != QDialog::Accepted) {
        m_bPassWordOk = false;
        return false;
    }
    if (dialog.passWord() != m_pServer->accounts().operatorPassword()) {
        Prompt::critical(tr("错误"), tr("请输入正确的密码!"));
        return false;
    }
    m_nGraceCount = GraceTicks;
    m_bPassWordOk = true;
    return true;
}

void QWidgetMain::slotPassWordTick()
{
    if (m_nGraceCount != 0)
        --m_nGraceCount;
}

bool QWidgetMain::askText(const QString &strTitle, const QString &strLabel, QString *strAnswer)
{
    QInputDialog dialog(this);
    dialog.setWindowTitle(strTitle);
    dialog.setLabelText(strLabel);
    dialog.setTextEchoMode(QLineEdit::Password);
    dialog.setOkButtonText(tr("确定"));
    dialog.setCancelButtonText(tr("取消"));
    if (DialogRunner::run(&dialog) != QDialog::Accepted)
        return false;
    *strAnswer = dialog.textValue();
    return true;
}

void QWidgetMain::changePassWord()
{
    if (!verifyPassWord(tr("请输入操作员现有密码")))
        return;
    QString first;
    const bool answered = askText(tr("请输入新密码"), tr("请输入新密码:"), &first);
    if (!answered || first.isEmpty()) {
        Prompt::information(tr("取消更改"), tr("您未输入新密码,取消更改!"));
        return;
    }
    QString second;
    askText(tr("请输入新密码"), tr("请重复一次新密码:"), &second);
    if (first != second) {
        Prompt::warning(tr("更改失败"), tr("两次输入的密码不相同,不能更改密码!"));
        return;
    }
    ClientAccounts &accounts = m_pServer->accounts();
    accounts.setOperatorPassword(first);
    if (!accounts.save()) {
        Prompt::warning(tr("更改失败"), tr("密码文件保存失败,新密码在重启后无效!"));
        return;
    }
    Prompt::information(tr("更改密码"), tr("密码更改成功,请记住您的新密码!"));
}

// --- tabs ------------------------------------------------------------------

void QWidgetMain::on_tabMain_currentChanged(int index)
{
    ui->tbControlList->clearSelection();
    ui->tbClientList->clearSelection();
    if (index != 2 || !ServerContext::instance().isHaveUserType || m_bPassWordOk)
        return;
    ui->tabMain->setCurrentIndex(0);
    if (verifyPassWord(tr("请输入操作员密码")))
        ui->tabMain->setCurrentIndex(2);
}
