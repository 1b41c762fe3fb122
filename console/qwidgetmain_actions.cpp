// The operator's actions on controllers and client accounts, and the
// window's side of the server object: its signals, the state timer and the
// shutdown at exit.
#include "console/qwidgetmain.h"

#include "ui_qwidgetmain.h"

#include "clients/clientaccounts.h"
#include "config/controllerstore.h"
#include "console/dialogrunner.h"
#include "console/qdialogcontrollersetting.h"
#include "console/qdialogsetclient.h"
#include "core/prompt.h"
#include "core/servercontext.h"
#include "server/fireserver.h"

#include <QDebug>
#include <QTableWidget>
#include <algorithm>

namespace {
const QColor RunningColour(0, 255, 0);
const QColor IdleColour(255, 255, 255);

QTableWidgetItem *cell(const QString &text, const QColor &background)
{
    auto *item = new QTableWidgetItem(text);
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    item->setBackground(background);
    return item;
}
} // namespace

// --- the server object ---------------------------------------------------

void QWidgetMain::on_newClientConnect()
{
    // The server accepts the connection, builds the client and connects this
    // window's slots to it; the user list shows the new state.
    m_pServer->on_newClientConnect();
}

void QWidgetMain::slotTimControlState()
{
    m_pServer->slotTimControlState();
}

void QWidgetMain::closeEvent(QCloseEvent *event)
{
    if (!verifyPassWord(tr("退出权限验证"))) {
        event->ignore();
        return;
    }
    // Open states stored, drivers closed, accounts saved; the application
    // quits with its last window.
    m_pServer->shutdown();
    event->accept();
}

// --- controllers ---------------------------------------------------------

void QWidgetMain::refreshControlTable()
{
    const int selected = selectedControllerId();
    const QList<ControllerInfo> records = m_pServer ? m_pServer->controllers() : QList<ControllerInfo>();
    QTableWidget *t = ui->tbControlList;
    const QSignalBlocker block(t);
    t->clearContents();
    t->setRowCount(records.size());
    for (int r = 0; r < records.size(); ++r) {
        const ControllerInfo &info = records.at(r);
        const bool open = m_pServer->isControllerRunning(info.controllerId);
        const QColor bg = open ? RunningColour : IdleColour;
        t->setItem(r, 0, cell(QString::number(info.controllerId), bg));
        t->setItem(r, 1, cell(info.name, bg));
        t->setItem(r, 2, cell(ControllerStore::commColumnText(info), bg));
        t->setItem(r, 3, cell(open ? tr("启动") : tr("停止"), bg));
        if (info.controllerId == selected)
            t->selectRow(r);
    }
    on_tbControlList_itemSelectionChanged();
}

int QWidgetMain::selectedControllerId() const
{
    const QList<QTableWidgetItem *> items = ui->tbControlList->selectedItems();
    if (items.isEmpty())
        return -1;
    const QTableWidgetItem *id = ui->tbControlList->item(items.first()->row(), 0);
    return id ? id->text().toInt() : -1;
}

void QWidgetMain::on_tbControlList_itemSelectionChanged()
{
    const int id = selectedControllerId();
    const bool running = id > 0 && m_pServer && m_pServer->isControllerRunning(id);
    ui->btnStartControl->setText(running ? tr("停止") : tr("启动"));
}

void QWidgetMain::on_btnStartControl_clicked()
{
    if (!verifyPassWord(tr("请输入操作员密码")))
        return;
    const int id = selectedControllerId();
    if (id < 0)
        return;
    const int row = ui->tbControlList->selectedItems().first()->row();
    if (m_pServer->isControllerRunning(id)) {
        m_pServer->closeController(id);
        ui->tbControlList->item(row, 3)->setText(tr("停止"));
        ui->btnStartControl->setText(tr("启动"));
    } else if (m_pServer->openController(id)) {
        ui->tbControlList->item(row, 3)->setText(tr("启动"));
        ui->btnStartControl->setText(tr("停止"));
    } else {
        Prompt::warning(tr("提示"), tr("打开失败!"));
        ui->tbControlList->item(row, 3)->setText(tr("停止"));
        ui->btnStartControl->setText(tr("启动"));
    }
    refreshControlTable();
}

void QWidgetMain::on_btnAddControl_clicked()
{
    if (!verifyPassWord(tr("请输入操作员密码")))
        return;
    QDialogControllerSetting dialog(ui->tbControlList, nullptr, this);
    if (DialogRunner::run(&dialog) != QDialog::Accepted)
        return;
    m_pServer->addController(dialog.controllerId(), dialog.controllerName(), dialog.controllerType(),
                             dialog.commValue());
    refreshControlTable();
}

void QWidgetMain::on_btnModifyControl_clicked()
{
    if (!verifyPassWord(tr("请输入操作员密码")))
        return;
    const int id = selectedControllerId();
    if (id < 0)
        return;
    if (m_pServer->isControllerRunning(id)) {
        Prompt::warning(tr("警告"), tr("请先关闭控制器!"));
        return;
    }
    const QList<ControllerInfo> all = m_pServer->controllers();
    const auto current = std::find_if(all.cbegin(), all.cend(),
                                      [id](const ControllerInfo &c) { return c.controllerId == id; });
    if (current == all.cend())
        return;
    const ControllerInfo before = *current;
    QDialogControllerSetting dialog(ui->tbControlList, &before, this);
    if (DialogRunner::run(&dialog) != QDialog::Accepted)
        return;
    m_pServer->replaceController(id, dialog.controllerId(), dialog.controllerName(), dialog.controllerType(),
                                 dialog.commValue());
    refreshControlTable();
}

void QWidgetMain::on_btnDeleteControl_clicked()
{
    if (!verifyPassWord(tr("请输入操作员密码")))
        return;
    const int id = selectedControllerId();
    if (id < 0)
        return;
    if (Prompt::question(tr("警告"), tr("确定要删除该控制器?")) != Prompt::Yes)
        return;
    switch (m_pServer->removeController(id)) {
    case FireServer::RemoveResult::Running:
        Prompt::warning(tr("警告"), tr("请先关闭控制器!"));
        return;
    case FireServer::RemoveResult::StoreFailed:
        Prompt::warning(tr("错误"), tr("控制器删除失败，请检查设置数据库!"));
        return;
    case FireServer::RemoveResult::Unknown:
        return;
    case FireServer::RemoveResult::Removed:
        break;
    }
    refreshControlTable();
}

// --- client accounts -----------------------------------------------------

void QWidgetMain::slotRefreshUserView()
{
    QList<ClientAccount> accounts = m_pServer->accounts().accounts();
    std::sort(accounts.begin(), accounts.end(), [](const ClientAccount &a, const ClientAccount &b) {
        return a.id < b.id;
    });
    const QString current = selectedClientName();
    QTableWidget *t = ui->tbClientList;
    {
        const QSignalBlocker block(t);
        t->clearContents();
        t->setRowCount(accounts.size());
        for (int r = 0; r < accounts.size(); ++r) {
            const ClientAccount &a = accounts.at(r);
            const QColor bg = a.isConnected ? RunningColour : IdleColour;
            t->setItem(r, 0, cell(a.userName, bg));
            t->setItem(r, 1, cell(a.userType, bg));
            t->setItem(r, 2, cell(a.isConnected ? tr("已登录") : tr("未登录"), bg));
            if (a.userName == current)
                t->setCurrentCell(r, 0);
        }
    }
    updateClientButtons();
}

QString QWidgetMain::selectedClientName() const
{
    const QTableWidgetItem *current = ui->tbClientList->currentItem();
    if (!current)
        return QString();
    const QTableWidgetItem *name = ui->tbClientList->item(current->row(), 0);
    return name ? name->text() : QString();
}

void QWidgetMain::updateClientButtons()
{
    const QTableWidgetItem *current = ui->tbClientList->currentItem();
    const QTableWidgetItem *state = current ? ui->tbClientList->item(current->row(), 2) : nullptr;
    const bool editable = state && state->text() != tr("已登录");
    ui->btnModifyClient->setEnabled(editable);
    ui->btnDeleteClient->setEnabled(editable);
}

void QWidgetMain::on_tbClientList_currentItemChanged(QTableWidgetItem *current, QTableWidgetItem *previous)
{
    if (current && previous && current->row() == previous->row())
        return;
    updateClientButtons();
}

void QWidgetMain::slotSetUserState(QString strName, int iState)
{
    // The client connection has already set the account's flags under its
    // session (a stale connection must not log out a newer one), so the
    // window only shows them.
    qDebug() << "client account" << strName << "state" << iState;
    slotRefreshUserView();
}

void QWidgetMain::on_btnAddClient_clicked()
{
    if (!verifyPassWord(tr("请输入操作员密码")))
        return;
    ClientAccounts &accounts = m_pServer->accounts();
    const QString before = accounts.refusalBeforeAdd();
    if (!before.isEmpty()) {
        Prompt::warning(ClientAccounts::refusalTitle(), before);
        return;
    }
    QDialogSetClient dialog(true, QString(), QString(), QString(), this);
    if (DialogRunner::run(&dialog) != QDialog::Accepted)
        return;
    QString refusal;
    if (!accounts.addAccount(dialog.userName(), dialog.passWord(), dialog.userType(), &refusal))
        Prompt::warning(ClientAccounts::refusalTitle(), refusal.isEmpty() ? tr("账户文件保存失败!") : refusal);
    slotRefreshUserView();
}

void QWidgetMain::on_btnModifyClient_clicked()
{
    if (!verifyPassWord(tr("请输入操作员密码")))
        return;
    const QString name = selectedClientName();
    ClientAccounts &accounts = m_pServer->accounts();
    if (name.isEmpty() || !accounts.contains(name))
        return;
    const ClientAccount a = accounts.account(name);
    QDialogSetClient dialog(false, a.userName, a.password, a.userType, this);
    if (DialogRunner::run(&dialog) != QDialog::Accepted)
        return;
    QString refusal;
    if (!accounts.changeAccount(name, dialog.passWord(), dialog.userType(), &refusal))
        Prompt::warning(ClientAccounts::refusalTitle(), refusal.isEmpty() ? tr("账户文件保存失败!") : refusal);
    slotRefreshUserView();
}

void QWidgetMain::on_btnDeleteClient_clicked()
{
    if (!verifyPassWord(tr("请输入操作员密码")))
        return;
    const QString name = selectedClientName();
    if (name.isEmpty())
        return;
    if (Prompt::question(tr("警告"), tr("确实要删除该客户端？")) != Prompt::Yes)
        return;
    if (!m_pServer->accounts().deleteAccount(name))
        Prompt::warning(ClientAccounts::refusalTitle(), tr("客户端删除失败!"));
    slotRefreshUserView();
}
