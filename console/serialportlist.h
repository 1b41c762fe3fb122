#pragma once
// The serial ports and network interfaces the controller dialog offers.
// Drivers open "COM<n>" names, so every device is listed under the COM name
// that resolves back to it: a mapping in config.ini's SerialPorts group, or
// /dev/ttyS<n-1> for COM<n>.

#include <QMap>
#include <QStringList>
#include <functional>

namespace SerialPortList {
// Pure form: the COM names of the mapped entries (key COM<n> -> device path)
// and of the devices found (absolute paths such as /dev/ttyS0 or
// /dev/ttyUSB0), unique and in ascending number. A device that is neither
// mapped nor a ttyS<k> has no COM name and is left out. When nothing is
// left, "COM1" to "COM4".
QStringList portNames(const QMap<QString, QString> &mapped, const QStringList &devicePaths);

// The SerialPorts group of config.ini as read at start-up, each name with
// the device path it resolves to.
QMap<QString, QString> mappedPorts();

// The machine's serial devices as QSerialPortInfo reports them, or as the
// lister installed for tests does (an empty lister restores the machine's).
QStringList machineDevices();
void setDeviceLister(std::function<QStringList()> lister);

// portNames() over config.ini's mappings and the machine.
QStringList availablePorts();

// Human-readable names of the machine's network interfaces.
QStringList networkInterfaceNames();
}
