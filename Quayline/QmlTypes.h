#pragma once

// QML names for the C++ types that the views are typed against. The classes
// themselves stay free of QML so that the core library and the command-line
// companion link without Qt Quick.

#include "Quayline/LoginItem.h"
#include "model/KillError.h"
#include "model/PortEntry.h"
#include "notify/PortNotifier.h"
#include "viewmodel/PortListModel.h"
#include "viewmodel/PortListViewModel.h"

#include <QtQml/qqml.h>

struct PortListViewModelForeign {
    Q_GADGET
    QML_FOREIGN(PortListViewModel)
    QML_NAMED_ELEMENT(PortListViewModel)
    QML_UNCREATABLE("The application creates the one model and hands it to the views.")
};

struct PortListModelForeign {
    Q_GADGET
    QML_FOREIGN(PortListModel)
    QML_NAMED_ELEMENT(PortListModel)
    QML_UNCREATABLE("Owned by PortListViewModel.")
};

struct LoginItemForeign {
    Q_GADGET
    QML_FOREIGN(LoginItem)
    QML_NAMED_ELEMENT(LoginItem)
    QML_UNCREATABLE("The application creates the login item and hands it to the settings view.")
};

struct PortNotifierForeign {
    Q_GADGET
    QML_FOREIGN(PortNotifier)
    QML_NAMED_ELEMENT(PortNotifier)
    QML_UNCREATABLE("The application creates the notifier and hands it to the settings view.")
};

struct PortEntryForeign {
    Q_GADGET
    QML_FOREIGN(PortEntry)
    QML_VALUE_TYPE(portEntry)
};

struct ProcessInfoForeign {
    Q_GADGET
    QML_FOREIGN(ProcessInfo)
    QML_VALUE_TYPE(processInfo)
};

struct KillMessageForeign {
    Q_GADGET
    QML_FOREIGN(KillMessage)
    QML_VALUE_TYPE(killMessage)
};

struct RespawnReportForeign {
    Q_GADGET
    QML_FOREIGN(RespawnReport)
    QML_VALUE_TYPE(respawnReport)
};
