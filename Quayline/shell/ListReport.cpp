#include "Quayline/shell/ListReport.h"

#include "viewmodel/PortListModel.h"
#include "viewmodel/PortListViewModel.h"

#include <QUrl>
#include <cstdio>

bool ListReport::isRequested() {
    return qgetenv("QUAYLINE_TEST_REPORT") == "1";
}

ListReport::ListReport(PortListViewModel *model)
    : QObject(model)
    , m_model(model) {
    connect(model, &PortListViewModel::filteredRowsChanged, this, &ListReport::report);
    connect(model, &PortListViewModel::entriesChanged, this, &ListReport::report);
}

void ListReport::report() {
    constexpr int shownAtMost = 20;
    const PortEntryList entries = m_model->filteredModel()->entries();
    QByteArray line = "quayline-report: " + QByteArray::number(entries.size());
    for (qsizetype i = 0; i < entries.size() && i < shownAtMost; ++i) {
        const PortEntry &e = entries.at(i);
        line += ' ' + QByteArray::number(e.pid) + ':' + QByteArray::number(e.port) + '/' +
                e.networkProtocol.toUtf8();
        // Who holds a port of another user's, as the row shows it; spaces
        // would split the entry.
        if (const QString holder = e.holder(); !holder.isEmpty())
            line += '[' + QUrl::toPercentEncoding(holder, ",") + ']';
    }
    line += '\n';
    std::fputs(line.constData(), stderr);
    std::fflush(stderr);
}
