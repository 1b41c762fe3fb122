#include "config/controllervalidation.h"

#include <QCoreApplication>
#include <QDebug>

namespace ControllerValidation {

namespace {

template <typename Same>
bool anyOther(const QList<ControllerRow> &rows, int skipRow, Same same)
{
    for (int i = 0; i < rows.size(); ++i) {
        if (i != skipRow && same(rows.at(i)))
            return true;
    }
    return false;
}

bool numberTaken(int id, const QList<ControllerRow> &rows, int skipRow)
{
    return anyOther(rows, skipRow, [id](const ControllerRow &r) { return r.controllerId == id; });
}

bool textTaken(const QString &text, const QList<ControllerRow> &rows, int skipRow)
{
    return anyOther(rows, skipRow, [&text](const ControllerRow &r) { return r.commText == text; });
}

} // namespace

Result validate(const ControllerCandidate &c, const QList<ControllerRow> &rows, int skipRow)
{
    if (c.isNet) {
        bool ok = false;
        const int port = c.portText.trimmed().toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            return BadPort;
        // The list shows a network controller as "<ip>:<port>", the part of
        // its CommValue after "0/".
        if (textTaken(c.ip.trimmed() + QLatin1Char(':') + QString::number(port), rows, skipRow))
            return AddressTaken;
        if (numberTaken(c.controllerId, rows, skipRow))
            return NumberTaken;
        return Accepted;
    }
    if (numberTaken(c.controllerId, rows, skipRow))
        return NumberTaken;
    if (textTaken(c.portName, rows, skipRow))
        return SerialPortTaken;
    return Accepted;
}

QString refusalText(Result result)
{
    switch (result) {
    case Accepted: return QString();
    case BadPort: return QCoreApplication::translate("QDialogControllerSetting", "请输入正确的端口号!");
    case AddressTaken: return QCoreApplication::translate("QDialogControllerSetting", "该IP地址被占用，请选择其他地址！");
    case NumberTaken: return QCoreApplication::translate("QDialogControllerSetting", "该控制器号被占用，请选择其他控制器！");
    case SerialPortTaken: return QCoreApplication::translate("QDialogControllerSetting", "该串口号被占用，请选择其他串口！");
    }
    return QString();
}

} // namespace ControllerValidation
