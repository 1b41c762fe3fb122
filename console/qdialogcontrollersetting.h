#pragma once
// Adds or modifies one controller: collects name, type, number and link,
// checks them against the console's controller list and writes the row to
// the controller store.

#include "config/controllerinfo.h"

#include <QDialog>

class QTableWidget;

namespace Ui {
class QDialogControllerSetting;
}

class QDialogControllerSetting : public QDialog
{
    Q_OBJECT
public:
    // controlTable: the main window's controller list (read for the
    // uniqueness checks). current: the controller being modified, or null to add.
    QDialogControllerSetting(QTableWidget *controlTable, const ControllerInfo *current,
                             QWidget *parent = nullptr);
    ~QDialogControllerSetting() override;

    bool isAddMode() const { return m_bIsAdd; }
    // The stored row, valid after acceptance.
    int controllerId() const { return m_nControllerID; }
    QString controllerName() const { return m_strName; }
    int controllerType() const { return m_nType; }
    QString commValue() const { return m_strCommValue; }

private slots:
    void on_btnOK_clicked();
    void on_btnCancle_clicked();
    void on_m_combControlType_currentIndexChanged(int index);

private:
    void fillFrom(const ControllerInfo &info);
    bool save(bool bIsNet);

    Ui::QDialogControllerSetting *ui;
    bool m_bIsAdd;
    QTableWidget *m_pControlTable; // not owned
    int m_nOldID = 0;
    int m_nControllerID = 0;
    QString m_strName;
    int m_nType = 0;
    QString m_strCommValue;
};
