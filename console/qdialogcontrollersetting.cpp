#include "console/qdialogcontrollersetting.h"

#include "ui_qdialogcontrollersetting.h"

#include "config/configtables.h"
#include "config/controllerstore.h"
#include "config/controllervalidation.h"
#include "console/serialportlist.h"
#include "core/prompt.h"
#include "core/servercontext.h"

#include <QDebug>
#include <QListView>
#include <QTableWidget>

namespace {
const char *const ItemStyle = "QComboBox QAbstractItemView::item { height: 24px; }";

// The console lists controllers with their number in column 0 and the
// connection text in column 2.
QList<ControllerRow> rowsOf(const QTableWidget *table)
{
    QList<ControllerRow> rows;
    if (!table)
        return rows;
    for (int r = 0; r < table->rowCount(); ++r) {
        ControllerRow row;
        if (const QTableWidgetItem *id = table->item(r, 0))
            row.controllerId = id->text().toInt();
        if (const QTableWidgetItem *comm = table->item(r, 2))
            row.commText = comm->text();
        rows << row;
    }
    return rows;
}

int rowOfId(const QTableWidget *table, int id)
{
    const QList<ControllerRow> rows = rowsOf(table);
    for (int r = 0; r < rows.size(); ++r) {
        if (rows.at(r).controllerId == id)
            return r;
    }
    return -1;
}
} // namespace

QDialogControllerSetting::QDialogControllerSetting(QTableWidget *controlTable,
                                                   const ControllerInfo *current, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::QDialogControllerSetting)
    , m_bIsAdd(current == nullptr)
    , m_pControlTable(controlTable)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    for (QComboBox *combo : {ui->m_combControlType, ui->m_combControlID, ui->m_combComNumber, ui->cmbNet}) {
        combo->setView(new QListView(combo));
        combo->setStyleSheet(QLatin1String(ItemStyle));
    }

    // Filling the type list fires the type-change slot; the pages follow it.
    const QMap<int, SystemTypeEntry> &types = ConfigTables::instance().systemTypes();
    for (auto it = types.cbegin(); it != types.cend(); ++it)
        ui->m_combControlType->addItem(it.value().name, it.key());
    for (int id = 1; id <= 255; ++id)
        ui->m_combControlID->addItem(QString::number(id), id);
    ui->m_combComNumber->addItems(SerialPortList::availablePorts());

    if (current)
        fillFrom(*current);
    else
        on_m_combControlType_currentIndexChanged(ui->m_combControlType->currentIndex());
}

QDialogControllerSetting::~QDialogControllerSetting()
{
    delete ui;
}

void QDialogControllerSetting::fillFrom(const ControllerInfo &info)
{
    m_nOldID = info.controllerId;
    ui->edtControlName->setText(info.name);
    int typeIndex = ui->m_combControlType->findData(info.controllerType);
    if (typeIndex < 0) {
        // A type that SysSet.xml no longer lists must not silently become
        // another type when the operator only renames the controller.
        ui->m_combControlType->addItem(QString::number(info.controllerType), info.controllerType);
        typeIndex = ui->m_combControlType->count() - 1;
    }
    ui->m_combControlType->setCurrentIndex(typeIndex);
    on_m_combControlType_currentIndexChanged(typeIndex);
    ui->m_combControlID->setCurrentIndex(ui->m_combControlID->findData(info.controllerId));
    // The number is the key of the row; modifying never changes it.
    ui->m_combControlID->setEnabled(false);

    if (info.isNetwork) {
        const QString addr = info.netAddress.mid(info.netAddress.indexOf(QLatin1Char('/')) + 1);
        const int colon = addr.lastIndexOf(QLatin1Char(':'));
        ui->leIP->setText(colon < 0 ? addr : addr.left(colon));
        if (colon >= 0)
            ui->lePort->setText(addr.mid(colon + 1));
    } else {
        const QString port = QStringLiteral("COM%1").arg(info.comPort);
        int portIndex = ui->m_combComNumber->findText(port);
        if (portIndex < 0) {
            // The stored port is not present on this machine now; keep it
            // selectable so saving another field does not move the controller.
            ui->m_combComNumber->addItem(port);
            portIndex = ui->m_combComNumber->count() - 1;
        }
        ui->m_combComNumber->setCurrentIndex(portIndex);
    }
}

void QDialogControllerSetting::on_m_combControlType_currentIndexChanged(int index)
{
    if (index < 0)
        return;
    const int type = ui->m_combControlType->itemData(index).toInt();
    if (!ConfigTables::instance().systemType(type).isNet) {
        ui->stackedWidget->setCurrentIndex(0);
        return;
    }
    ui->cmbNet->clear();
    ui->cmbNet->addItems(SerialPortList::networkInterfaceNames());
    const int netIndex = ui->cmbNet->findText(ServerContext::instance().netName);
    if (netIndex >= 0)
        ui->cmbNet->setCurrentIndex(netIndex);
    ui->stackedWidget->setCurrentIndex(1);
}

void QDialogControllerSetting::on_btnOK_clicked()
{
    const int type = ui->m_combControlType->currentData().toInt();
    if (ui->m_combControlType->currentIndex() < 0) {
        Prompt::warning(tr("错误"), tr("请选择控制器类型!"));
        return;
    }
    if (save(ConfigTables::instance().systemType(type).isNet))
        accept();
}

bool QDialogControllerSetting::save(bool bIsNet)
{
    ControllerCandidate candidate;
    candidate.controllerId = ui->m_combControlID->currentData().toInt();
    candidate.isNet = bIsNet;
    candidate.portName = ui->m_combComNumber->currentText();
    candidate.ip = ui->leIP->text().remove(QLatin1Char(' '));
    candidate.portText = ui->lePort->text();
    const int skipRow = m_bIsAdd ? -1 : rowOfId(m_pControlTable, m_nOldID);
    const ControllerValidation::Result verdict =
        ControllerValidation::validate(candidate, rowsOf(m_pControlTable), skipRow);
    if (verdict != ControllerValidation::Accepted) {
        Prompt::warning(tr("错误"), ControllerValidation::refusalText(verdict));
        return false;
    }

    const QString name = ui->edtControlName->text();
    const int type = ui->m_combControlType->currentData().toInt();
    const QString comm = bIsNet
        ? ControllerStore::networkCommValue(candidate.ip, QString::number(candidate.portText.trimmed().toInt()))
        : ControllerStore::serialCommValue(candidate.portName);
    const bool stored = m_bIsAdd
        ? ControllerStore::insertController(candidate.controllerId, name, type, comm)
        : ControllerStore::updateController(candidate.controllerId, name, type, comm, m_nOldID);
    if (!stored) {
        // The store has logged the database's reason; the operator must not
        // believe the controller was kept.
        Prompt::warning(tr("错误"), tr("控制器保存失败，请检查设置数据库!"));
        return false;
    }
    if (bIsNet)
        writeNetName(ui->cmbNet->currentText());

    m_nControllerID = candidate.controllerId;
    m_strName = name;
    m_nType = type;
    m_strCommValue = comm;
    qDebug() << "controller" << m_nControllerID << (m_bIsAdd ? "added" : "modified") << "type" << type
             << "CommValue" << comm;
    return true;
}

void QDialogControllerSetting::on_btnCancle_clicked()
{
    reject();
}
