#include "gateways/modbusstream.h"

ModbusStream::Result ModbusStream::next(const QByteArray &data, int cap)
{
    Result r;
    const int open = data.indexOf('{');
    if (open < 0) {
        r.consumed = data.size();
        return r;
    }
    const int close = data.indexOf('}', open + 1);
    if (close >= 0) {
        r.status = Complete;
        r.consumed = close + 1;
        r.message = QByteArray(data.constData() + open, close - open + 1); // a copy, never a view of data
        return r;
    }
    if (data.size() - open > cap) {
        r.status = Invalid;
        r.consumed = data.size();
        return r;
    }
    r.consumed = open;
    return r;
}
