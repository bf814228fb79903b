// Tests that need another Qt platform than the offscreen one of the test
// programs (an X server, a screen of another size) run one of their own
// tests in a child process. Such a test is named DISABLED_..., so that it
// runs only when a parent asks for it.
#pragma once

#include <QString>
#include <QStringList>

struct ChildResult {
    bool finished = false;  // exited normally within the time allowed
    int exitCode = -1;
    QString output;         // stdout and stderr together
};

// Runs test `name` (Suite.DISABLED_Case) of this program on `platform`
// (a QT_QPA_PLATFORM value), with the extra environment given as NAME=VALUE.
ChildResult RunTestInChild(const QString& name, const QString& platform, const QStringList& environment = {});

// A headless X server for one test; its display is empty when Xvfb is not
// installed or did not start.
class XvfbServer {
public:
    explicit XvfbServer(const QString& screen = QStringLiteral("1920x1080x24"));
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;
    QString display() const { return m_display; }

private:
    int m_pid = -1;
    QString m_display;
};
