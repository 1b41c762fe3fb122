#pragma once
// Asks the operator for the operator password (or a new one); the caller
// sets the caption and reads the text after acceptance.

#include <QDialog>

namespace Ui {
class QDialogGetPassWord;
}

class QDialogGetPassWord : public QDialog
{
    Q_OBJECT
public:
    explicit QDialogGetPassWord(QWidget *parent = nullptr);
    ~QDialogGetPassWord() override;

    void setCaption(const QString &caption);
    QString caption() const;
    QString passWord() const;

private slots:
    void on_pbOK_clicked();
    void on_pbCancel_clicked();

private:
    Ui::QDialogGetPassWord *ui;
};
