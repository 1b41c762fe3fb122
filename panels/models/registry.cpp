// The panel models the server knows: one line per model. Everything else a
// model means to the server is declared in its own files.

#include "panels/panelmodel.h"

#include "panels/models/controllerash.h"
#include "panels/models/controllerbirch.h"
#include "panels/models/controllercedar.h"
#include "panels/models/controllerdune.h"
#include "panels/models/controllerelm.h"
#include "panels/models/controllerglen.h"
#include "panels/models/controllerjuniper.h"
#include "panels/models/controllermarsh.h"

const QList<const PanelModel *> &PanelModels::all()
{
    static const QList<const PanelModel *> models = {
        &ControllerAsh::model(),
        &ControllerBirch::model(),
        &ControllerCedar::model(),
        &ControllerDune::model(),
        &ControllerElm::model(),
        &ControllerGlen::model(),
        &ControllerJuniper::model(),
        &ControllerMarsh::model(),
    };
    return models;
}
