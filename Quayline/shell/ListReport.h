#pragma once

#include <QObject>

class PortListViewModel;

// For the end-to-end test only (compiled only into quayline-testhooks, never
// into the installed quayline, and active only when QUAYLINE_TEST_REPORT=1):
// prints the panel's list to stderr each time it changes, one line
// "quayline-report: <count> <pid>:<port>/<protocol> ...", where a row names
// who holds the port (another user's) with "[<holder>]" after it, spaces
// percent-encoded: "0:80/TCP[root,%20nginx.service]".
// The test runs as root in CI and presses "Kill" by screen position; it must
// know that the row under the pointer is its own listener and nothing else,
// and pixels cannot tell it that.
class ListReport : public QObject {
    Q_OBJECT

public:
    static bool isRequested();

    explicit ListReport(PortListViewModel *model);

private:
    void report();

    PortListViewModel *m_model;
};
