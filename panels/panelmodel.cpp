#include "panels/panelmodel.h"

#include "config/controllerinfo.h"

QString PanelModel::linkText(const ControllerInfo &info) const
{
    return isNetwork() ? info.netAddress : QStringLiteral("COM:COM%1").arg(info.comPort);
}

Controller *PanelModel::createDriver(const ControllerInfo &info) const
{
    return create ? create(linkText(info), info.controllerId, info.controllerType) : nullptr;
}

const PanelModel *PanelModels::forType(int typeCode)
{
    for (const PanelModel *m : all()) {
        if (m->typeCodes.contains(typeCode))
            return m;
    }
    return nullptr;
}

const PanelModel *PanelModels::byName(const QString &name)
{
    const QString wanted = name.trimmed();
    for (const PanelModel *m : all()) {
        if (m->name.compare(wanted, Qt::CaseInsensitive) == 0
            || m->name.mid(10).compare(wanted, Qt::CaseInsensitive) == 0)
            return m;
    }
    return nullptr;
}

bool PanelModels::isNetworkType(int typeCode)
{
    const PanelModel *m = forType(typeCode);
    return m && m->isNetwork();
}
