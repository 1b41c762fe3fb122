#pragma once
// The rules a controller entry must satisfy before the console stores it.
// They take the rows of the console's controller list as plain data, so
// they are checked without any window.

#include <QList>
#include <QString>

// One row of the console's controller list: its number and the text of its
// connection column ("COM3", "USB5" or "<ip>:<port>").
struct ControllerRow
{
    int controllerId = 0;
    QString commText;
};

// What the operator entered in the controller dialog.
struct ControllerCandidate
{
    int controllerId = 0;
    bool isNet = false;  // the chosen type's network flag
    QString portName;    // serial: the chosen port name, such as "COM3"
    QString ip;          // network
    QString portText;    // network: the port as typed
};

namespace ControllerValidation {

enum Result {
    Accepted = 0,
    BadPort,          // "请输入正确的端口号!"
    AddressTaken,     // "该IP地址被占用，请选择其他地址！"
    NumberTaken,      // "该控制器号被占用，请选择其他控制器！"
    SerialPortTaken,  // "该串口号被占用，请选择其他串口！"
};

// The first rule the candidate breaks, in the dialog's order: network types
// check port range, address, then number; serial types number, then port.
// skipRow is the index of the row being modified (-1 when adding).
Result validate(const ControllerCandidate &candidate, const QList<ControllerRow> &rows, int skipRow = -1);

// The refusal text shown under the title "错误"; empty for Accepted.
QString refusalText(Result result);

} // namespace ControllerValidation
